// The main window driven as a person would: keys, clicks, the scroll bar and the message boxes.
#include <QtTest>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <clocale>
#include <functional>
#include <memory>

#include "fakes.h"
#include "form_layout.h"
#include "main_window.h"
#include "picture_box.h"
#include "qt_test_exit.h"
#include "waveform.h"

using namespace vireko;

namespace {

const QColor kBackground(0, 64, 0);
const QColor kGrid(0, 0, 128);
const QColor kAxis(0, 0, 255);
const QColor kTrace(255, 255, 0);

// Answers the next modal message box with `button`, after noting what it showed.
struct ModalAnswer {
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::Warning;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    bool seen = false;

    void answerWith(QMessageBox::StandardButton button) {
        QTimer::singleShot(0, [this, button] { poll(button); });
    }

private:
    void poll(QMessageBox::StandardButton button) {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            QTimer::singleShot(10, [this, button] { poll(button); });
            return;
        }
        seen = true;
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        buttons = box->standardButtons();
        defaultButton = box->standardButton(box->defaultButton());
        QTest::mouseClick(box->button(button), Qt::LeftButton);
    }
};

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> window;
    testing::SteppingClock clock;
    QList<int> endStatuses;

    template <typename T>
    T* control(const char* name) {
        auto* found = window->findChild<T*>(name);
        if (found == nullptr) qFatal("no control %s", name);
        return found;
    }
    QLineEdit* text1() { return control<QLineEdit>("Text1"); }
    QLineEdit* text2() { return control<QLineEdit>("Text2"); }
    QScrollBar* scroll() { return control<QScrollBar>("HScroll1"); }
    const QImage& picture() { return control<PictureBox>("Picture1")->image(); }
    void pressEmitSound() { QTest::mouseClick(control<QPushButton>("Command1"), Qt::LeftButton); }

private slots:
    void init() {
        window = std::make_unique<MainWindow>();
        clock.stepSeconds = 0.125f;  // the one-second wait passes in eight readings
        window->setClock(clock);
        endStatuses.clear();
        window->setEndProgram([this](int status) { endStatuses << status; });
        window->Form_Load();
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }
    void cleanup() { window.reset(); }

    void startingState() {
        QCOMPARE(window->windowTitle(),
                 QString::fromUtf8("周波数ソフト「Vireko」 for Windows　Ver1.0"));
        QCOMPARE(window->centralWidget()->size(), QSize(624, 437));
        QCOMPARE(window->centralWidget()->mapToGlobal(QPoint(0, 0)), QPoint(127, 129));
        QVERIFY(!window->windowIcon().isNull());
        QCOMPARE(text1()->text(), "440");
        QCOMPARE(text2()->text(), QString::fromUtf8("　周波数を入力してください"));
        QCOMPARE(scroll()->minimum(), 20);
        QCOMPARE(scroll()->maximum(), 20000);
        QCOMPARE(scroll()->value(), 440);
        QVERIFY(control<QRadioButton>("Option1")->isChecked());
        QVERIFY(!control<QRadioButton>("Option2")->isChecked());
        QVERIFY(text1()->hasFocus());
        QCOMPARE(picture().pixelColor(104, 20), kBackground);
        QCOMPARE(picture().pixelColor(268, 160), kBackground);

        // Every control of the layout table, where the table puts it, in its container, in
        // its colour.
        for (const ControlSpec& entry : kForm1Controls) {
            auto* widget = control<QWidget>(entry.name);
            QCOMPARE(widget->geometry(),
                     QRect(entry.rect.left, entry.rect.top, entry.rect.width, entry.rect.height));
            QCOMPARE(widget->parentWidget()->objectName(),
                     entry.container ? QString(entry.container) : QString("client"));
            if (entry.textColour) {
                const auto role = qobject_cast<QLineEdit*>(widget) ? QPalette::Text : QPalette::WindowText;
                const QColor colour = widget->palette().color(role);
                QCOMPARE(colour, QColor(entry.textColour->red, entry.textColour->green, entry.textColour->blue));
            }
        }
        // What a screen reader calls them: the caption, or what the control is for.
        const std::pair<const char*, const char*> names[] = {
            {"Text1", "周波数"},     {"Command1", "音を出す"},   {"Text2", "状態"},
            {"Picture1", "波形"},    {"Command2", "終了"},       {"Label1", "（周波数は40～20000まで）"},
            {"Label2", "周波数"},    {"HScroll1", "周波数（Hz）"}, {"Label3", "Ｈｚ"},
            {"Frame1", "表示レンジ"}, {"Option1", "1倍"},         {"Option2", "10倍"},
            {"Option3", "100倍"},
        };
        for (const auto& [name, accessibleName] : names)
            QCOMPARE(control<QWidget>(name)->accessibleName(), QString::fromUtf8(accessibleName));
        // Worked values for a few, so that a wrong table shows too.
        QCOMPARE(control<QWidget>("Picture1")->geometry(), QRect(40, 8, 540, 320));
        QCOMPARE(control<QWidget>("Option1")->geometry(), QRect(24, 16, 57, 12));
        QCOMPARE(control<QLabel>("Label3")->palette().color(QPalette::WindowText),
                 QColor(0, 0, 192));
        QCOMPARE(text1()->font().pointSize(), 12);
        QVERIFY(text1()->alignment() & Qt::AlignRight);
        QVERIFY(text2()->alignment() & Qt::AlignHCenter);

        const QList<QAction*> menu = window->menuBar()->actions();
        QCOMPARE(menu.size(), 1);
        QCOMPARE(menu.first()->text(), QString::fromUtf8("バージョン表示"));
        QVERIFY(menu.first()->menu() == nullptr);
    }

    // What a screen reader announces: names that say what each control is, and the text,
    // value and picture as they change.
    void accessibilityFollowsWhatTheControlsShow() {
        auto accessible = [](QWidget* widget) {
            return QAccessible::queryAccessibleInterface(widget);
        };
        QAccessibleInterface* frequency = accessible(text1());
        QAccessibleInterface* status = accessible(text2());
        QAccessibleInterface* slider = accessible(scroll());
        QAccessibleInterface* picture = accessible(control<QWidget>("Picture1"));
        QCOMPARE(frequency->text(QAccessible::Name), QString::fromUtf8("周波数"));
        QCOMPARE(status->text(QAccessible::Name), QString::fromUtf8("状態"));
        QCOMPARE(slider->text(QAccessible::Name), QString::fromUtf8("周波数（Hz）"));
        QCOMPARE(picture->role(), QAccessible::Graphic);
        QCOMPARE(picture->text(QAccessible::Name), QString::fromUtf8("波形"));
        QCOMPARE(picture->text(QAccessible::Description), QString::fromUtf8("波形なし"));
        QCOMPARE(slider->valueInterface()->currentValue().toInt(), 440);

        text1()->clear();
        QTest::keyClicks(text1(), "1234");
        control<QRadioButton>("Option2")->setChecked(true);
        pressEmitSound();
        QCOMPARE(frequency->text(QAccessible::Value), "1234");
        QCOMPARE(frequency->text(QAccessible::Name), QString::fromUtf8("周波数"));
        QCOMPARE(status->text(QAccessible::Value),
                 QString::fromUtf8(" 1234　Ｈｚの音を発信中です"));
        QCOMPARE(slider->valueInterface()->currentValue().toInt(), 1234);
        QCOMPARE(picture->text(QAccessible::Description),
                 QString::fromUtf8("1234 Hz の波形、表示レンジ 10倍"));

        text1()->clear();
        QTest::keyClicks(text1(), "7");
        pressEmitSound();
        QCOMPARE(picture->text(QAccessible::Description), QString::fromUtf8("波形なし"));
    }

    void resizingMovesNothing() {
        window->resize(900, 700);
        QCOMPARE(control<QWidget>("Command2")->geometry(), QRect(552, 384, 65, 41));
        QCOMPARE(control<QWidget>("Picture1")->size(), QSize(540, 320));
    }

    void tabVisitsTheControlsInOrderAndOnlyTheSelectedOption() {
        const QStringList expected{"Command1", "Text2",   "Picture1", "Command2",
                                   "HScroll1", "Option1", "Text1"};
        for (const QString& name : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), name);
        }
        control<QRadioButton>("Option3")->setChecked(true);
        for (int i = 0; i < 6; ++i) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), "Option3");
    }

    void keyFilterLetsDigitsAndBackspaceThroughOnly() {
        text1()->clear();
        QTest::keyClicks(text1(), "12a-. 0+x");
        QCOMPARE(text1()->text(), "120");
        QTest::keyClick(text1(), Qt::Key_Backspace);
        QCOMPARE(text1()->text(), "12");
        QTest::keyClick(text1(), Qt::Key_Home);
        QTest::keyClick(text1(), Qt::Key_Delete);  // types nothing, so it is not judged
        QCOMPARE(text1()->text(), "2");
    }

    void keyFilterCancelsEnterAndTheEditingShortcuts() {
        QSignalSpy emitSound(control<QPushButton>("Command1"), &QPushButton::clicked);
        QSignalSpy quit(control<QPushButton>("Command2"), &QPushButton::clicked);
        QApplication::clipboard()->setText("999");
        QTest::keyClick(text1(), Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(text1(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(text1(), Qt::Key_X, Qt::ControlModifier);
        QTest::keyClick(text1(), Qt::Key_Return);
        QTest::keyClick(text1(), Qt::Key_Escape);
        QCOMPARE(text1()->text(), "440");
        QCOMPARE(emitSound.count(), 0);
        QCOMPARE(quit.count(), 0);

        text1()->end(false);
        text1()->paste();  // what the context menu's Paste does: not filtered
        QCOMPARE(text1()->text(), "440999");
    }

    void keyFilterCancelsFullWidthDigitsFromAnInputMethod() {
        text1()->setCursorPosition(3);
        QInputMethodEvent fullWidth;
        fullWidth.setCommitString(QString::fromUtf8("１２"));
        QApplication::sendEvent(text1(), &fullWidth);
        QCOMPARE(text1()->text(), "440");
        QInputMethodEvent ascii;
        ascii.setCommitString("5");
        QApplication::sendEvent(text1(), &ascii);
        QCOMPARE(text1()->text(), "4405");
    }

    void scrollBarEndsAndSingleSteps() {
        scroll()->setValue(scroll()->minimum());
        QCOMPARE(text1()->text(), "20");
        scroll()->triggerAction(QAbstractSlider::SliderSingleStepSub);
        QCOMPARE(scroll()->value(), 20);
        scroll()->setValue(scroll()->maximum());
        QCOMPARE(text1()->text(), "20000");

        scroll()->setValue(440);
        const int h = scroll()->height();
        QTest::mouseClick(scroll(), Qt::LeftButton, {}, QPoint(h / 2, h / 2));  // left arrow
        QCOMPARE(text1()->text(), "439");
        QTest::mouseClick(scroll(), Qt::LeftButton, {}, QPoint(scroll()->width() - h / 2, h / 2));
        QCOMPARE(text1()->text(), "440");
        QTest::mouseClick(scroll(), Qt::LeftButton, {}, QPoint(scroll()->width() - 2 * h, h / 2));
        QCOMPARE(text1()->text(), "441");  // a click in the track moves one step
        scroll()->setFocus();
        QTest::keyClick(scroll(), Qt::Key_Left);
        QTest::keyClick(scroll(), Qt::Key_Left);
        QCOMPARE(text1()->text(), "439");
        QTest::keyClick(scroll(), Qt::Key_Right);
        QCOMPARE(text1()->text(), "440");
    }

    void draggedThumbRewritesText1OnlyWhenLetGo() {
        scroll()->setSliderDown(true);
        scroll()->setSliderPosition(5000);
        QCOMPARE(text1()->text(), "440");
        scroll()->setSliderDown(false);
        QCOMPARE(text1()->text(), "5000");
    }

    void enterAndEscapePressNoButtonAnywhere() {
        QSignalSpy emitSound(control<QPushButton>("Command1"), &QPushButton::clicked);
        QSignalSpy quit(control<QPushButton>("Command2"), &QPushButton::clicked);
        for (const char* name : {"Command1", "Text2", "Command2", "HScroll1", "Option1"}) {
            control<QWidget>(name)->setFocus();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Enter);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        }
        QCOMPARE(emitSound.count(), 0);
        QCOMPARE(quit.count(), 0);
    }

    void typedTextWaitsForTheScrollBar() {
        text1()->setText("1234");
        scroll()->setValue(440);  // unchanged: nothing runs
        QCOMPARE(text1()->text(), "1234");
        scroll()->setValue(441);
        QCOMPARE(text1()->text(), "441");
    }

    void quitAnsweredNoChangesNothing() {
        ModalAnswer answer;
        answer.answerWith(QMessageBox::No);
        QTest::mouseClick(control<QPushButton>("Command2"), Qt::LeftButton);
        QVERIFY(answer.seen);
        QCOMPARE(answer.title, QString::fromUtf8("プログラム終了確認"));
        QCOMPARE(answer.text, QString::fromUtf8("「Vireko」を本当に終了していいですか？"));
        QCOMPARE(answer.icon, QMessageBox::NoIcon);
        QCOMPARE(answer.buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(answer.defaultButton, QMessageBox::Yes);
        QVERIFY(endStatuses.isEmpty());
        QVERIFY(window->isVisible());
    }

    void quitAnsweredYesEndsWithStatusZero() {
        ModalAnswer answer;
        answer.answerWith(QMessageBox::Yes);
        QTest::mouseClick(control<QPushButton>("Command2"), Qt::LeftButton);
        QCOMPARE(endStatuses, QList<int>{0});
    }

    void closingByTheTitleBarEndsWithoutAsking() {
        QVERIFY(QApplication::quitOnLastWindowClosed());  // the only window: the program ends
        QVERIFY(window->close());
        QVERIFY(!window->isVisible());
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        QVERIFY(endStatuses.isEmpty());
    }

    void aboutBoxShowsThreeLinesWithBlankLinesBetween() {
        ModalAnswer answer;
        answer.answerWith(QMessageBox::Ok);
        QMenuBar* bar = window->menuBar();
        QTest::mouseClick(bar, Qt::LeftButton, {},
                          bar->actionGeometry(bar->actions().first()).center());
        QVERIFY(answer.seen);
        QCOMPARE(answer.title, QString::fromUtf8("Virekoバージョン情報"));
        QCOMPARE(answer.icon, QMessageBox::NoIcon);
        QCOMPARE(answer.buttons, QMessageBox::Ok);
        const QStringList lines = answer.text.split('\n');
        QCOMPARE(lines.size(), 5);
        QVERIFY(lines[0].startsWith(QString::fromUtf8("低周波発信ソフト「Vireko」（")));
        QVERIFY(lines[0].endsWith(QString::fromUtf8("） ver1.0")));
        QVERIFY(lines[1].isEmpty());
        QVERIFY(lines[2].startsWith("By "));
        QVERIFY(lines[2].contains(QString::fromUtf8("・")));
        QVERIFY(lines[2].endsWith(" 2000.1.17"));
        QVERIFY(lines[3].isEmpty());
        QVERIFY(lines[4].contains("BEEP"));
        QCOMPARE(text1()->text(), "440");
    }

    void emitSound440AtEachRange_data() {
        QTest::addColumn<QString>("option");
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::newRow("1倍") << "Option1" << 1 << 115;
        QTest::newRow("10倍") << "Option2" << 4 << 142;
        // A third of a cycle across the picture: the crest lies near x = 400 (phase 1.536 rad).
        QTest::newRow("100倍") << "Option3" << 400 << 40;
    }

    void emitSound440AtEachRange() {
        QFETCH(QString, option);
        QFETCH(int, x);
        QFETCH(int, y);
        QTest::mouseClick(control<QRadioButton>(option.toUtf8().constData()), Qt::LeftButton);
        pressEmitSound();
        QCOMPARE(text2()->text(), QString::fromUtf8(" 440　Ｈｚの音を発信中です"));
        const QImage& image = picture();
        for (int column : {104, 212, 320, 428}) QCOMPARE(image.pixelColor(column, 10), kGrid);
        QCOMPARE(image.pixelColor(x, y), kTrace);
        QVERIFY(y < 150);
        QCOMPARE(image.pixelColor(0, 160), kTrace);
        QCOMPARE(image.pixelColor(300, 160), kAxis);
        QCOMPARE(image.pixelColor(535, 160), kAxis);
    }

    // Under a decimal-comma locale (the ctest entry main_window_tests_de_DE), a pasted number
    // with a decimal point and an exponent still reads as the program has it.
    void pastedExponentReadsTheSameInEveryLocale() {
        const char* numeric = std::setlocale(LC_NUMERIC, nullptr);
        if (qEnvironmentVariable("LC_ALL") == "de_DE.UTF-8" &&
            QByteArray(numeric) != "de_DE.UTF-8")
            QSKIP("no de_DE.UTF-8 locale (the test set-up generates one with localedef)");
        for (const char* pasted : {"4.4e2", "0.44e3", "1.5e3"}) {
            text1()->setText(pasted);
            pressEmitSound();
            const int hz = QByteArray(pasted) == "1.5e3" ? 1500 : 440;
            QCOMPARE(scroll()->value(), hz);
            QCOMPARE(text2()->text(), QString::fromUtf8(" %1　Ｈｚの音を発信中です").arg(hz));
        }
    }

    void refusedEntryResetsTo440AndDrawsTheGridOnly() {
        scroll()->setValue(1000);
        text1()->setText("19");
        pressEmitSound();
        QCOMPARE(text2()->text(), QString::fromUtf8("チェック！周波数は40～20000です"));
        QCOMPARE(text1()->text(), "440");
        QCOMPARE(scroll()->value(), 440);
        const QImage& image = picture();
        QCOMPARE(image.pixelColor(104, 10), kGrid);
        QCOMPARE(image.pixelColor(10, 20), kGrid);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                QVERIFY(image.pixelColor(x, y) != kTrace && image.pixelColor(x, y) != kAxis);
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
