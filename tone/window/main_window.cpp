#include "main_window.h"

#include <QApplication>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSocketNotifier>
#include <utility>

#include "conversions.h"
#include "display_connection.h"
#include "form_layout.h"
#include "picture_box.h"
#include "program_icon.h"
#include "termination.h"
#include "text1_key_filter.h"
#include "unhandled_error.h"

namespace vireko {

namespace {

constexpr const char* kAboutLineA = "低周波発信ソフト「Vireko」（ヴィレコ） ver1.0";
constexpr const char* kAboutLineB = "By 霧島 奏・朝倉 新 2000.1.17";
constexpr const char* kAboutLineC = "スピーカー制御ライブラリ BEEP は 朝倉 新 の作品です";

QString fromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

// A click in the scroll bar's track moves it one page, never straight to the pointer.
class PageStepClickStyle final : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_ScrollBar_LeftClickAbsolutePosition) return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

QWidget* createControl(const ControlSpec& entry, QWidget* container) {
    const QString caption = QString::fromUtf8(entry.caption);
    switch (entry.kind) {
        case ControlKind::TextBox:
            return new QLineEdit(caption, container);
        case ControlKind::CommandButton:
            return new QPushButton(caption, container);
        case ControlKind::PictureBox:
            return new PictureBox(container);
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

std::string aboutMessage() {
    return std::string(kAboutLineA) + "\r\r" + kAboutLineB + "\r\r" + kAboutLineC;
}

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      endProgram_([](int status) { QCoreApplication::exit(status); }),
      endBySignal_([](int signal) { TerminationSignals::endBy(signal); }) {
    setObjectName("Form1");
    setWindowTitle(QString::fromUtf8(kWindowTitle));
    setWindowIcon(programIcon());
    createControls();
    setTabOrder();

    verno_ = menuBar()->addAction(QString::fromUtf8("バージョン表示"));
    verno_->setObjectName("verno");
    connect(verno_, &QAction::triggered, this,
            [this] { runEventProcedure([this] { verno_Click(); }); });

    // Outside a tone a termination signal ends the program at once.
    if (TerminationSignals::descriptor() >= 0) {
        auto* notifier =
            new QSocketNotifier(TerminationSignals::descriptor(), QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            if (const int signal = TerminationSignals::take(); signal != 0) endBySignal_(signal);
        });
    }

    const int menuHeight = menuBar()->sizeHint().height();
    setGeometry(kClientLeft, kClientTop - menuHeight, kClientWidth, kClientHeight + menuHeight);
    text1_->setFocus();
}

MainWindow::~MainWindow() = default;

void MainWindow::createControls() {
    auto* client = new QWidget(this);
    client->setObjectName("client");
    client->setMinimumSize(kClientWidth, kClientHeight);
    setCentralWidget(client);

    QHash<QString, QWidget*> made;
    for (const ControlSpec& entry : kForm1Controls) {
        QWidget* container = entry.container ? made.value(entry.container) : client;
        QWidget* widget = createControl(entry, container);
        widget->setObjectName(entry.name);
        widget->setGeometry(entry.rect.left, entry.rect.top, entry.rect.width, entry.rect.height);
        if (entry.textColour) {
            const auto [red, green, blue] = *entry.textColour;
            QPalette palette = widget->palette();
            palette.setColor(
                entry.kind == ControlKind::TextBox ? QPalette::Text : QPalette::WindowText,
                QColor(red, green, blue));
            widget->setPalette(palette);
        }
        made.insert(entry.name, widget);
    }
    keepControls(made);
    setUpControls();
    nameForScreenReaders(client);
    connectEventProcedures();
}

void MainWindow::keepControls(const QHash<QString, QWidget*>& made) {
    auto find = [&made]<typename T>(T*& pointer, const char* name) {
        pointer = qobject_cast<T*>(made.value(name));
        Q_ASSERT(pointer != nullptr);
    };
    find(text1_, "Text1");
    find(command1_, "Command1");
    find(text2_, "Text2");
    find(picture1_, "Picture1");
    find(command2_, "Command2");
    find(label1_, "Label1");
    find(label2_, "Label2");
    find(hscroll1_, "HScroll1");
    find(label3_, "Label3");
    find(frame1_, "Frame1");
    find(option1_, "Option1");
    find(option2_, "Option2");
    find(option3_, "Option3");
}

// What the layout table does not say: fonts, alignment, the scroll bar's steps and keys, and the
// option selected at start.
void MainWindow::setUpControls() {
    QFont text1Font;
    QStringList families;
    for (const char* family : kText1FontFamilies) families << QString::fromUtf8(family);
    text1Font.setFamilies(families);
    text1Font.setPointSize(kText1FontPoints);
    text1Font.setWeight(QFont::Normal);
    // Text1's face is the only one besides the default, and loading it takes a millisecond or
    // more. It is set when the event loop starts: after the window's map request has gone to the
    // display server, still before the first paint, so the window looks the same.
    QMetaObject::invokeMethod(
        this,
        [this, text1Font] {
            flushDisplayConnection();
            text1_->setFont(text1Font);
        },
        Qt::QueuedConnection);
    text1_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    text1_->installEventFilter(new Text1KeyFilter(text1_));
    text2_->setAlignment(Qt::AlignCenter);
    picture1_->setFocusPolicy(Qt::StrongFocus);

    auto* style = new PageStepClickStyle;
    style->setParent(hscroll1_);
    hscroll1_->setStyle(style);
    hscroll1_->setSingleStep(1);
    hscroll1_->setPageStep(1);
    hscroll1_->setTracking(false);  // a dragged thumb changes the value when it is let go
    hscroll1_->setFocusPolicy(Qt::StrongFocus);
    // Qt's scroll bars invert key controls by default, so that Left would move the thumb
    // right; Left and Right must move it the way they point.
    hscroll1_->setInvertedControls(false);

    option1_->setChecked(true);
}

void MainWindow::nameForScreenReaders(QWidget* client) {
    for (QWidget* widget : client->findChildren<QWidget*>()) {
        if (auto* button = qobject_cast<QAbstractButton*>(widget))
            widget->setAccessibleName(button->text());
        else if (auto* label = qobject_cast<QLabel*>(widget))
            widget->setAccessibleName(label->text());
        else if (auto* edit = qobject_cast<QLineEdit*>(widget))
            widget->setAccessibleName(edit->text());
        else if (auto* group = qobject_cast<QGroupBox*>(widget))
            widget->setAccessibleName(group->title());
    }
    // The text boxes are named for what they are, not for what they first held, so that a
    // screen reader reads their current text under a name that stays.
    label2_->setBuddy(text1_);
    text1_->setAccessibleName(QString::fromUtf8(kFrequencyName));
    text2_->setAccessibleName(QString::fromUtf8(kStatusName));
    hscroll1_->setAccessibleName(QString::fromUtf8(kFrequencyScrollName));
    picture1_->setAccessibleName(QString::fromUtf8(kPictureName));
    picture1_->setAccessibleDescription(QString::fromUtf8(kPictureEmpty));
}

void MainWindow::connectEventProcedures() {
    auto run = [this](void (MainWindow::*procedure)()) {
        return
            [this, procedure] { runEventProcedure([this, procedure] { (this->*procedure)(); }); };
    };
    connect(command1_, &QPushButton::clicked, this, run(&MainWindow::Command1_Click));
    connect(command2_, &QPushButton::clicked, this, run(&MainWindow::Command2_Click));
    connect(hscroll1_, &QScrollBar::valueChanged, this, run(&MainWindow::HScroll1_Change));
}

void MainWindow::setTabOrder() {
    const QWidget* chain[] = {text1_,    command1_, text2_,   picture1_, command2_,
                              hscroll1_, option1_,  option2_, option3_};
    for (std::size_t i = 1; i < std::size(chain); ++i)
        QWidget::setTabOrder(const_cast<QWidget*>(chain[i - 1]), const_cast<QWidget*>(chain[i]));
    // Tab visits only the selected one of the option buttons; a click still focuses any.
    for (QRadioButton* option : {option1_, option2_, option3_}) {
        auto follow = [option](bool checked) {
            option->setFocusPolicy(checked ? Qt::StrongFocus : Qt::ClickFocus);
        };
        follow(option->isChecked());
        connect(option, &QRadioButton::toggled, option, follow);
    }
}

void MainWindow::Form_Load() {
    hscroll1_->setMinimum(kLowestFrequencyHz);
    hscroll1_->setMaximum(kHighestFrequencyHz);
    hscroll1_->setValue(kDefaultFrequencyHz);
    text1_->setText(fromUtf8(integerToText(static_cast<std::int16_t>(hscroll1_->value()))));
}

void MainWindow::HScroll1_Change() {
    text1_->setText(fromUtf8(integerToText(static_cast<std::int16_t>(hscroll1_->value()))));
}

void MainWindow::runEventProcedure(const std::function<void()>& procedure) {
    try {
        procedure();
    } catch (const std::exception& error) {
        endByUnhandledError(this, error, endProgram_);
    }
}

void MainWindow::Command1_Click() {
    picture1_->setAccessibleDescription(QString::fromUtf8(kPictureEmpty));
    vireko::Command1_Click({*this, *picture1_, speaker_, *this, *clock_});
    // A termination signal during the tone cut the wait short and the gate has closed. On the
    // sound system the closing ramp is still on its way to the speaker: let it be heard.
    if (const int signal = std::exchange(pendingSignal_, 0); signal != 0) {
        waitFor(*clock_, kGateClosingSeconds);
        endBySignal_(signal);
    }
}

bool MainWindow::endRequested() {
    if (pendingSignal_ == 0) pendingSignal_ = TerminationSignals::take();
    return pendingSignal_ != 0;
}

void MainWindow::Command2_Click() {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kQuitTitle),
                    QString::fromUtf8(kQuitMessage), QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::Yes);
    if (box.exec() == QMessageBox::Yes) endProgram_(0);
}

void MainWindow::verno_Click() {
    // The message parts its lines with carriage returns alone; shown as line breaks.
    const QString message = fromUtf8(aboutMessage()).replace(QChar('\r'), QChar('\n'));
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kAboutTitle), message, QMessageBox::Ok,
                    this);
    box.exec();
}

std::string MainWindow::text1() const {
    return text1_->text().toStdString();
}
void MainWindow::setText1(const std::string& text) {
    text1_->setText(fromUtf8(text));
}
bool MainWindow::option1() const {
    return option1_->isChecked();
}
bool MainWindow::option2() const {
    return option2_->isChecked();
}
bool MainWindow::option3() const {
    return option3_->isChecked();
}
void MainWindow::setHScroll1Value(std::int16_t value) {
    hscroll1_->setValue(value);
}
void MainWindow::setText2(const std::string& text) {
    text2_->setText(fromUtf8(text));
}

void MainWindow::traceDrawn(std::int16_t frequencyHz, std::int16_t /*scale*/) {
    QString range;
    for (const QRadioButton* option : {option1_, option2_, option3_})
        if (option->isChecked()) range = option->text();
    picture1_->setAccessibleDescription(
        QString::fromUtf8(kPictureDescription).arg(frequencyHz).arg(range));
}

void MainWindow::showNow() {
    // The run is about to wait without taking events: paint the status and the trace first,
    // and send the picture to the display server now rather than after the wait.
    text2_->repaint();
    picture1_->repaint();
    flushDisplayConnection();
}

void MainWindow::beep() {
    QApplication::beep();
}

}  // namespace vireko
