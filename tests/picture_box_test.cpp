// The picture area on screen: its border, background, line pixels and clipping.
#include <QtTest>

#include "emit_sound.h"
#include "fakes.h"
#include "picture_box.h"
#include "qt_test_exit.h"
#include "waveform.h"

using namespace vireko;

class PictureBoxTest : public QObject {
    Q_OBJECT

private:
    static QColor pixel(const PictureBox& box, int x, int y) {
        return box.image().pixelColor(x, y);
    }

    // FNV-1a over the picture's rows, padding left out: equal digests, equal pixels.
    static quint64 digest(const QImage& image) {
        quint64 hash = 14695981039346656037ULL;
        const auto rowBytes = qsizetype(image.width()) * image.depth() / 8;
        for (int y = 0; y < image.height(); ++y) {
            const uchar* row = image.constScanLine(y);
            for (qsizetype i = 0; i < rowBytes; ++i) hash = (hash ^ row[i]) * 1099511628211ULL;
        }
        return hash;
    }

private slots:
    void drawableInsideIsTheOuterSizeLessTheSunkenBorder() {
        PictureBox box;
        QCOMPARE(box.size(), QSize(540, 320));
        QCOMPARE(box.contentsRect(), QRect(2, 2, 536, 316));
        QCOMPARE(box.image().size(), QSize(536, 316));
        QCOMPARE(pixel(box, 0, 0), QColor(0, 64, 0));
    }

    void linesAreOnePixelWideIncludeBothEndsAndAreNotSmoothed() {
        PictureBox box;
        box.line(10, 10, 20, 10, kTraceYellow);
        QCOMPARE(pixel(box, 10, 10), QColor(255, 255, 0));
        QCOMPARE(pixel(box, 20, 10), QColor(255, 255, 0));
        QCOMPARE(pixel(box, 21, 10), QColor(0, 64, 0));
        QCOMPARE(pixel(box, 15, 9), QColor(0, 64, 0));
        QCOMPARE(pixel(box, 15, 11), QColor(0, 64, 0));
        box.line(30, 30, 40, 35, kGridBlue);  // a slanted line has no blended pixels
        for (int y = 25; y < 40; ++y)
            for (int x = 25; x < 45; ++x) {
                const QColor c = pixel(box, x, y);
                QVERIFY2(c == QColor(0, 64, 0) || c == QColor(0, 0, 128), qPrintable(c.name()));
            }
    }

    void linesAreClippedToTheInside() {
        PictureBox box;
        box.line(-50, 5, 600, 5, kAxisLightBlue);
        QCOMPARE(pixel(box, 0, 5), QColor(0, 0, 255));
        QCOMPARE(pixel(box, 535, 5), QColor(0, 0, 255));
        box.line(-101, 200, -100, 200, kTraceYellow);  // wholly outside: nothing
        QCOMPARE(pixel(box, 0, 200), QColor(0, 64, 0));
    }

    void clearForgetsTheDrawing() {
        PictureBox box;
        DrawGrid(box);
        QCOMPARE(pixel(box, 104, 50), QColor(0, 0, 128));
        box.clear();
        QCOMPARE(pixel(box, 104, 50), QColor(0, 64, 0));
    }

    void drawingSurvivesBeingCoveredAndUncovered() {
        PictureBox box;
        DrawGrid(box);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        box.hide();
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        const QImage shown = box.grab().toImage();
        QCOMPARE(shown.pixelColor(2 + 104, 2 + 50), QColor(0, 0, 128));
        QCOMPARE(shown.pixelColor(2 + 50, 2 + 20), QColor(0, 0, 128));
    }

    // At twice the density, run by CTest with QT_SCALE_FACTOR=2: each picture pixel is a square
    // of four device pixels, lines are two device pixels wide in the same places, and nothing
    // is blended or scaled.
    void drawsAtDeviceResolution() {
        PictureBox box;
        if (box.devicePixelRatioF() != 2) QSKIP("for QT_SCALE_FACTOR=2");
        QCOMPARE(box.image().size(), QSize(1072, 632));
        DrawGrid(box);
        const QColor grid(0, 0, 128), background(0, 64, 0);
        for (int y = 100; y < 120; ++y) {  // the column x = 104, between grid rows
            QCOMPARE(pixel(box, 2 * 104 - 1, y), background);
            QCOMPARE(pixel(box, 2 * 104, y), grid);
            QCOMPARE(pixel(box, 2 * 104 + 1, y), grid);
            QCOMPARE(pixel(box, 2 * 104 + 2, y), background);
        }
        for (int x = 10; x < 30; ++x) {  // the row y = 20
            QCOMPARE(pixel(box, x, 2 * 20 - 1), background);
            QCOMPARE(pixel(box, x, 2 * 20), grid);
            QCOMPARE(pixel(box, x, 2 * 20 + 1), grid);
            QCOMPARE(pixel(box, x, 2 * 20 + 2), background);
        }
        QCOMPARE(pixel(box, 2 * 535 + 1, 2 * 20), grid);  // a grid row reaches the far edge

        box.clear();
        DrawTrace(box, 440, 20);
        const QColor trace(255, 255, 0), axis(0, 0, 255);
        for (int y = 0; y < 632; ++y)
            for (int x = 0; x < 1072; ++x) {
                const QColor c = pixel(box, x, y);
                QVERIFY2(c == background || c == trace || c == axis, qPrintable(c.name()));
            }
        // The trace is two device pixels thick: no yellow pixel stands alone in its column.
        for (int x = 0; x < 1072; x += 7) {
            for (int y = 1; y + 1 < 632; ++y) {
                if (pixel(box, x, y) != trace) continue;
                QVERIFY(pixel(box, x, y - 1) == trace || pixel(box, x, y + 1) == trace);
            }
        }
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        const QImage shown = box.grab().toImage();
        QCOMPARE(shown.size(), QSize(1080, 640));
        QCOMPARE(shown.pixelColor(2 * (2 + 1), 2 * (2 + 160)), axis);
    }

    // Whole pictures, pixel for pixel as they have always been drawn, at 1x and (run by CTest
    // with QT_SCALE_FACTOR=2) at 2x. Scale 0 stands for a refused frequency: the grid alone.
    void picturesKeepTheirPixels_data() {
        QTest::addColumn<int>("frequencyHz");
        QTest::addColumn<int>("scale");
        QTest::addColumn<quint64>("at1x");
        QTest::addColumn<quint64>("at2x");
        auto row = [](const char* name, int f, int s, quint64 at1x, quint64 at2x) {
            QTest::newRow(name) << f << s << at1x << at2x;
        };
        row("grid alone", 0, 0, 0xaabd1dc7ebdc6e5ULL, 0x27bdec584e982925ULL);
        row("flat trace", 0, 20, 0x5d18657d59795508ULL, 0xa83104c5839a5ecdULL);
        row("20 Hz 1x", 20, 20, 0xfb8c5c611052e16aULL, 0x6db22330487986cdULL);
        row("20 Hz 100x", 20, 2000, 0x1f7bbe8009a1a308ULL, 0x8954ee7f405feecbULL);
        row("440 Hz 1x", 440, 20, 0x77aa7f9c4bc81eb8ULL, 0x53f730948721868fULL);
        row("440 Hz 10x", 440, 200, 0x98540b8f790ef85cULL, 0x9857627b9c8ad957ULL);
        row("440 Hz 100x", 440, 2000, 0xa95a3704423dde8ULL, 0x908c9e82e17c1aebULL);
        row("1000 Hz 10x", 1000, 200, 0xeb56908c0307e2cULL, 0xb887c70210af23cdULL);
        row("7919 Hz 1x", 7919, 20, 0x39a87754718e9b9eULL, 0x177143b7f01ff38bULL);
        row("20000 Hz 1x", 20000, 20, 0x9bf9d2cba7c3eca2ULL, 0x85bf0aab351c2fa9ULL);
        row("20000 Hz 10x", 20000, 200, 0x4945b68693d75222ULL, 0x8a1b193e048ae21bULL);
        row("20000 Hz 100x", 20000, 2000, 0xefc15d1565e55faeULL, 0xd7cd63d35d401f9ULL);
    }

    void picturesKeepTheirPixels() {
        QFETCH(int, frequencyHz);
        QFETCH(int, scale);
        QFETCH(quint64, at1x);
        QFETCH(quint64, at2x);
        PictureBox box;
        const qreal ratio = box.devicePixelRatioF();
        if (ratio != 1 && ratio != 2) QSKIP("for 1x or 2x");
        DrawTrace(box, 20000, 20);  // what the last tone left, to be cleared
        ClearPicture(box);
        DrawGrid(box);
        if (scale != 0) DrawTrace(box, std::int16_t(frequencyHz), std::int16_t(scale));
        QCOMPARE(digest(box.image()), ratio == 1 ? at1x : at2x);
    }

    // "440abc" with the scroll bar at 440: the tone sounds but the trace frequency is 0.
    void flatTraceLiesUnderTheAxisExceptAtXZero() {
        PictureBox box;
        testing::FakeControls controls;
        testing::RecordingSpeaker speaker;
        testing::CountingAlert alert;
        testing::SteppingClock clock;
        controls.text1Value = "440abc";
        Command1_Click({controls, box, speaker, alert, clock});
        QCOMPARE(pixel(box, 0, 160), QColor(255, 255, 0));
        for (int x = 1; x < 536; ++x) {
            if (x == 104 || x == 212 || x == 320 || x == 428) continue;
            QCOMPARE(pixel(box, x, 160), QColor(0, 0, 255));
        }
        for (int x = 0; x < 536; ++x) {
            QVERIFY(pixel(box, x, 159) != QColor(255, 255, 0));
            QVERIFY(pixel(box, x, 161) != QColor(255, 255, 0));
        }
    }
};

QTEST_MAIN(PictureBoxTest)
#include "picture_box_test.moc"
