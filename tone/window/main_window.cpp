#include "main_window.h"

#include <QApplication>
#include <QGroupBox>
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
#include "picture_box.h"
#include "program_icon.h"
#include "termination.h"
#include "text1_key_filter.h"
#include "unhandled_error.h"

namespace vireko {

namespace {

constexpr std::int16_t kScrollMinimum = 20;
constexpr std::int16_t kScrollMaximum = 20000;

// Line A's reading of the name, and the people in lines B and C, are this project's own.
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

void place(QWidget* widget, const char* name, int left, int top, int width, int height) {
    widget->setObjectName(name);
    widget->setGeometry(left, top, width, height);
}

void setTextColour(QWidget* widget, QPalette::ColorRole role, QColor colour) {
    QPalette palette = widget->palette();
    palette.setColor(role, colour);
    widget->setPalette(palette);
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

    // Outside a tone a termination signal ends the program at once, as it always did.
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

    text1_ = new QLineEdit(QStringLiteral("440"), client);
    place(text1_, "Text1", 112, 376, 65, 23);
    QFont text1Font;
    text1Font.setFamilies({QString::fromUtf8("ＭＳ Ｐゴシック"), "MS PGothic", "IPAPGothic",
                           "Noto Sans CJK JP", "Source Han Sans JP", "VL PGothic", "TakaoPGothic",
                           "IPAexGothic", "Sans Serif"});
    text1Font.setPointSize(12);
    text1Font.setWeight(QFont::Normal);
    text1_->setFont(text1Font);
    text1_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    setTextColour(text1_, QPalette::Text, QColor(0, 0, 0));
    text1_->installEventFilter(new Text1KeyFilter(text1_));

    command1_ = new QPushButton(QString::fromUtf8("音を出す"), client);
    place(command1_, "Command1", 288, 384, 73, 41);

    text2_ = new QLineEdit(QString::fromUtf8("　周波数を入力してください"), client);
    place(text2_, "Text2", 368, 400, 169, 18);
    text2_->setAlignment(Qt::AlignCenter);

    picture1_ = new PictureBox(client);
    place(picture1_, "Picture1", 40, 8, 540, 320);
    picture1_->setFocusPolicy(Qt::StrongFocus);

    command2_ = new QPushButton(QString::fromUtf8("終了"), client);
    place(command2_, "Command2", 552, 384, 65, 41);

    label1_ = new QLabel(QString::fromUtf8("（周波数は40～20000まで）"), client);
    place(label1_, "Label1", 384, 376, 145, 17);
    setTextColour(label1_, QPalette::WindowText, QColor(0, 0, 255));

    label2_ = new QLabel(QString::fromUtf8("周波数"), client);
    place(label2_, "Label2", 64, 380, 49, 17);
    setTextColour(label2_, QPalette::WindowText, QColor(0, 0, 255));

    hscroll1_ = new QScrollBar(Qt::Horizontal, client);
    place(hscroll1_, "HScroll1", 8, 400, 265, 25);
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

    label3_ = new QLabel(QString::fromUtf8("Ｈｚ"), client);
    place(label3_, "Label3", 200, 380, 33, 17);
    setTextColour(label3_, QPalette::WindowText, QColor(0, 0, 192));

    frame1_ = new QGroupBox(QString::fromUtf8("表示レンジ"), client);
    place(frame1_, "Frame1", 40, 328, 273, 41);
    option1_ = new QRadioButton(QString::fromUtf8("1倍"), frame1_);
    place(option1_, "Option1", 24, 16, 57, 12);
    option2_ = new QRadioButton(QString::fromUtf8("10倍"), frame1_);
    place(option2_, "Option2", 120, 16, 57, 17);
    option3_ = new QRadioButton(QString::fromUtf8("100倍"), frame1_);
    place(option3_, "Option3", 208, 16, 65, 17);
    option1_->setChecked(true);

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
    hscroll1_->setMinimum(kScrollMinimum);
    hscroll1_->setMaximum(kScrollMaximum);
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
        reportUnhandledError(this, error);
        endProgram_(1);
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
    // The run is about to wait without taking events: paint the status and the trace first.
    text2_->repaint();
    picture1_->repaint();
}

void MainWindow::beep() {
    QApplication::beep();
}

}  // namespace vireko
