// Form1: the program's only window, its thirteen controls, its menu command and its events.
#pragma once

#include <QHash>
#include <QMainWindow>
#include <QString>
#include <functional>
#include <memory>

#include "beep_library.h"
#include "clock.h"
#include "emit_sound.h"

class QAction;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QScrollBar;

namespace vireko {

class PictureBox;

inline constexpr int kClientWidth = 624;
inline constexpr int kClientHeight = 437;
inline constexpr int kClientLeft = 127;
inline constexpr int kClientTop = 129;

inline constexpr const char* kWindowTitle = "周波数ソフト「Vireko」 for Windows　Ver1.0";
inline constexpr const char* kQuitMessage = "「Vireko」を本当に終了していいですか？";
inline constexpr const char* kQuitTitle = "プログラム終了確認";
inline constexpr const char* kAboutTitle = "Virekoバージョン情報";

// How long a program ended in the middle of a tone stays, so that the gate's closing is heard.
inline constexpr double kGateClosingSeconds = 0.1;

// What a screen reader calls the controls whose own text changes, and what the picture shows.
inline constexpr const char* kFrequencyName = "周波数";
inline constexpr const char* kFrequencyScrollName = "周波数（Hz）";
inline constexpr const char* kStatusName = "状態";
inline constexpr const char* kPictureName = "波形";
inline constexpr const char* kPictureEmpty = "波形なし";
// "%1 Hz の波形、表示レンジ %2": the frequency traced and the range's caption.
inline constexpr const char* kPictureDescription = "%1 Hz の波形、表示レンジ %2";

// The about box's message: three lines, each pair parted by two carriage returns.
std::string aboutMessage();

class MainWindow final : public QMainWindow, private ToneControls, private SystemAlert {
    Q_OBJECT

public:
    // How the program ends; the tests replace it so that they can watch it happen.
    using EndProgram = std::function<void(int exitStatus)>;

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // How a termination signal ends the program, once any tone under way has been silenced.
    using EndBySignal = std::function<void(int signal)>;

    void setEndProgram(EndProgram endProgram) { endProgram_ = std::move(endProgram); }
    void setEndBySignal(EndBySignal endBySignal) { endBySignal_ = std::move(endBySignal); }
    void setClock(Clock& clock) { clock_ = &clock; }

    void Form_Load();

private:
    void Command1_Click();
    void Command2_Click();
    void HScroll1_Change();
    void verno_Click();

    // Runs an event procedure; an error it does not handle goes to endByUnhandledError.
    void runEventProcedure(const std::function<void()>& procedure);
    // Builds the controls from the layout table, then the steps that follow.
    void createControls();
    void keepControls(const QHash<QString, QWidget*>& made);
    void setUpControls();
    void nameForScreenReaders(QWidget* client);
    void connectEventProcedures();
    void setTabOrder();

    // ToneControls, for the emit-sound run.
    std::string text1() const override;
    void setText1(const std::string& text) override;
    bool option1() const override;
    bool option2() const override;
    bool option3() const override;
    void setHScroll1Value(std::int16_t value) override;
    void setText2(const std::string& text) override;
    void traceDrawn(std::int16_t frequencyHz, std::int16_t scale) override;
    void showNow() override;
    bool endRequested() override;
    // SystemAlert.
    void beep() override;

    QLineEdit* text1_ = nullptr;
    QPushButton* command1_ = nullptr;
    QLineEdit* text2_ = nullptr;
    PictureBox* picture1_ = nullptr;
    QPushButton* command2_ = nullptr;
    QLabel* label1_ = nullptr;
    QLabel* label2_ = nullptr;
    QScrollBar* hscroll1_ = nullptr;
    QLabel* label3_ = nullptr;
    QGroupBox* frame1_ = nullptr;
    QRadioButton* option1_ = nullptr;
    QRadioButton* option2_ = nullptr;
    QRadioButton* option3_ = nullptr;
    QAction* verno_ = nullptr;

    BeepLibrary speaker_;
    SystemClock systemClock_;
    Clock* clock_ = &systemClock_;
    EndProgram endProgram_;
    EndBySignal endBySignal_;
    int pendingSignal_ = 0;  // a termination signal taken during a tone
};

}  // namespace vireko
