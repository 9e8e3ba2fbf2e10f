// What a Wayland user sees while the tone sounds: the compositor's own pictures of the window,
// taken during the one-second wait and after it. Run by wayland_window.sh on a private Weston.
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QImage>
#include <QPushButton>
#include <QtTest>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "form_layout.h"
#include "main_window.h"
#include "unhandled_error.h"
#include "waveform.h"

using namespace vireko;
using namespace std::chrono_literals;

namespace {

bool sameColour(QRgb pixel, Rgb colour) {
    return qRed(pixel) == colour.red && qGreen(pixel) == colour.green &&
           qBlue(pixel) == colour.blue;
}

QString shotFolder() {
    return qEnvironmentVariable("VIREKO_SHOT_DIR", QDir::tempPath() + "/shots");
}

// The compositor's picture of the whole output, within 10 s: weston-screenshooter's, or what
// VIREKO_SHOT_COMMAND leaves as a PNG in the current folder (an X server's, for comparison).
QImage compositorPicture() {
    const QString folder = shotFolder();
    QDir dir(folder);
    dir.removeRecursively();
    dir.mkpath(".");
    const QByteArray path = folder.toLocal8Bit();
    const pid_t child = fork();
    if (child == 0) {
        const char* command = std::getenv("VIREKO_SHOT_COMMAND");
        if (chdir(path.constData()) == 0)
            execlp("sh", "sh", "-c", command ? command : "weston-screenshooter",
                   static_cast<char*>(nullptr));
        _exit(127);
    }
    if (child < 0) return {};
    int status = -1;
    for (int i = 0; i < 1000 && waitpid(child, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(10ms);
    if (status == -1) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    const QStringList shots = dir.entryList({"*.png"}, QDir::Files);
    return shots.isEmpty() ? QImage() : QImage(dir.filePath(shots.first()));
}

// Where the picture area's background shows: the inside of its border.
QRect pictureArea(const QImage& shot) {
    QRect found;
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x)
            if (sameColour(shot.pixel(x, y), kPictureBackground)) found |= QRect(x, y, 1, 1);
    return found;
}

int countOf(const QImage& shot, const QRect& area, Rgb colour) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += sameColour(shot.pixel(x, y), colour) ? 1 : 0;
    return count;
}

const ControlRect& layoutOf(const char* name) {
    for (const ControlSpec& entry : kForm1Controls)
        if (qstrcmp(entry.name, name) == 0) return entry.rect;
    qFatal("no control %s", name);
}

// The status box in the compositor's picture, found from the picture area and the layout, a
// few pixels inside its frame.
QRect statusBox(const QRect& picture) {
    const ControlRect& pictureRect = layoutOf("Picture1");
    const ControlRect& text2 = layoutOf("Text2");
    const double scale = double(picture.width() + 2) / (pictureRect.width - 2 * 1);
    const double border = (pictureRect.width * scale - picture.width()) / 2;
    const QPointF origin = QPointF(picture.topLeft()) - QPointF(border, border) -
                           QPointF(pictureRect.left, pictureRect.top) * scale;
    const QRectF box(origin + QPointF(text2.left, text2.top) * scale,
                     QSizeF(text2.width, text2.height) * scale);
    const double inset = 3 * scale;
    return box.adjusted(inset, inset, -inset, -inset).toRect();
}

}  // namespace

class WaylandWindowTest : public QObject {
    Q_OBJECT

private slots:
    // The picture and the status are on the screen during the whole second the tone sounds,
    // not only once the wait is over.
    void emitSoundShowsTheTraceWhileTheToneSounds() {
        qInfo("platform %s", qPrintable(QGuiApplication::platformName()));
        MainWindow window;
        window.Form_Load();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::qWait(500);  // the compositor has the first frame on the output

        const QImage before = compositorPicture();
        QVERIFY2(!before.isNull(), "no picture from weston-screenshooter");
        const QRect picture = pictureArea(before);
        QVERIFY2(picture.width() > 100 && picture.height() > 60, "the picture area is not shown");
        QCOMPARE(countOf(before, picture, kTraceYellow), 0);

        QImage during;
        std::thread photographer([&during] {
            std::this_thread::sleep_for(400ms);
            during = compositorPicture();
        });
        const auto pressed = std::chrono::steady_clock::now();
        QTest::mouseClick(window.findChild<QPushButton*>("Command1"), Qt::LeftButton);
        const auto returned = std::chrono::steady_clock::now();
        photographer.join();
        QVERIFY2(returned - pressed >= 900ms, "the click returned before the tone's second");
        QTest::qWait(500);
        const QImage after = compositorPicture();

        QVERIFY(!during.isNull() && !after.isNull());
        during.save(shotFolder() + "-during-the-tone.png");
        const int traceDuring = countOf(during, picture, kTraceYellow);
        const int traceAfter = countOf(after, picture, kTraceYellow);
        qInfo("picture area %dx%d at (%d, %d); trace pixels during the tone %d, after it %d",
              picture.width(), picture.height(), picture.x(), picture.y(), traceDuring, traceAfter);
        QVERIFY2(traceDuring > picture.width(), "no trace on the screen during the tone");
        QVERIFY(countOf(during, picture, kGridBlue) > picture.width());
        QVERIFY(countOf(during, picture, kAxisLightBlue) >= picture.width() / 2);
        QCOMPARE(during.copy(picture), after.copy(picture));

        const QRect status = statusBox(picture);
        QVERIFY2(during.copy(status) != before.copy(status),
                 "the status during the tone is still the one before it");
        QCOMPARE(during.copy(status), after.copy(status));
    }
};

int main(int argc, char** argv) {
    Application app(argc, argv);
    WaylandWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "wayland_window_test.moc"
