// The floor for the start-up benchmark: a Qt Widgets window with Form1's title, menu command,
// controls, texts and fonts, and none of the program's own work.
#include <QApplication>
#include <QFrame>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>

#include "form_layout.h"
#include "main_window.h"

namespace {

QWidget* createControl(const vireko::ControlSpec& entry, QWidget* container) {
    using vireko::ControlKind;
    const QString caption = QString::fromUtf8(entry.caption);
    switch (entry.kind) {
        case ControlKind::TextBox:
            return new QLineEdit(caption, container);
        case ControlKind::CommandButton:
            return new QPushButton(caption, container);
        case ControlKind::PictureBox:
            return new QFrame(container);
        case ControlKind::Label:
            return new QLabel(caption, container);
        case ControlKind::ScrollBar:
            return new QScrollBar(Qt::Horizontal, container);
        case ControlKind::Frame:
            return new QGroupBox(caption, container);
        case ControlKind::OptionButton:
            return new QRadioButton(caption, container);
    }
    return new QWidget(container);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QString::fromUtf8(vireko::kWindowTitle));
    window.menuBar()->addAction(QString::fromUtf8("バージョン表示"));
    auto* client = new QWidget(&window);
    window.setCentralWidget(client);
    QHash<QString, QWidget*> made;
    for (const vireko::ControlSpec& entry : vireko::kForm1Controls) {
        QWidget* container = entry.container ? made.value(entry.container) : client;
        QWidget* widget = createControl(entry, container);
        widget->setGeometry(entry.rect.left, entry.rect.top, entry.rect.width, entry.rect.height);
        made.insert(entry.name, widget);
    }
    QFont text1Font;
    QStringList families;
    for (const char* family : vireko::kText1FontFamilies) families << QString::fromUtf8(family);
    text1Font.setFamilies(families);
    text1Font.setPointSize(vireko::kText1FontPoints);
    made.value("Text1")->setFont(text1Font);
    window.setGeometry(vireko::kClientLeft, vireko::kClientTop, vireko::kClientWidth,
                       vireko::kClientHeight + window.menuBar()->sizeHint().height());
    window.show();
    return QApplication::exec();
}
