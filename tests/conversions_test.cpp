// Reading and writing numbers the way typed and pasted frequencies are read.
#include <gtest/gtest.h>

#include <clocale>

#include "conversions.h"
#include "error_of.h"
#include "runtime_error.h"

namespace vireko {
namespace {

using testing::errorOf;

TEST(TextToNumber, ReadsTheNumberTheTextBeginsWith) {
    const std::pair<const char*, double> rows[] = {
        {"", 0},         {"440", 440},   {"0440", 440},      {"440abc", 440}, {"abc", 0},
        {" 4 4 0", 440}, {"\t-12", -12}, {"+7", 7},          {"20.5", 20.5},  {".5", 0.5},
        {"1e3", 1000},   {"1D2", 100},   {"2e", 2},          {"2e+", 2},      {"1.5e-1x", 0.15},
        {"&H1B8", 440},  {"&HFFFF", -1}, {"&H10000", 65536}, {"&O17", 15},    {"&h", 0},
        {"&12", 0},      {"-", 0},       {"１２", 0},        {"12３", 12},
    };
    for (const auto& [text, value] : rows) EXPECT_DOUBLE_EQ(textToNumber(text), value) << text;
}

TEST(TextToNumber, TooLargeForADoubleIsOverflow) {
    EXPECT_EQ(errorOf([] { textToNumber("1e400"); }), ErrorNumber::Overflow);
    EXPECT_EQ(errorOf([] { textToNumber("&H100000000"); }), ErrorNumber::Overflow);
    EXPECT_DOUBLE_EQ(textToNumber("1e-400"), 0.0);
}

TEST(NumberToInt16, RoundsHalvesToEven) {
    const std::pair<double, int> rows[] = {{20.5, 20},         {21.5, 22},      {-0.5, 0},
                                           {-1.5, -2},         {0.49, 0},       {2.51, 3},
                                           {-32768.5, -32768}, {32767.4, 32767}};
    for (const auto& [number, integer] : rows) EXPECT_EQ(numberToInt16(number), integer) << number;
}

TEST(NumberToInt16, OutsideSixteenBitsIsOverflow) {
    for (double number : {32767.5, 32768.0, -32769.0, 99999.0, 1e300})
        EXPECT_EQ(errorOf([=] { numberToInt16(number); }), ErrorNumber::Overflow) << number;
}

TEST(TextToInt16, WholeTextMustBeANumber) {
    EXPECT_EQ(textToInt16("440"), 440);
    EXPECT_EQ(textToInt16("0440"), 440);
    EXPECT_EQ(textToInt16(" 440 "), 440);
    EXPECT_EQ(textToInt16("20.5"), 20);
    EXPECT_EQ(textToInt16("&H1B8"), 440);
    for (const char* text : {"440abc", "", "  ", "4 40", "abc", "-", "1e"})
        EXPECT_EQ(errorOf([=] { textToInt16(text); }), ErrorNumber::TypeMismatch) << text;
    EXPECT_EQ(errorOf([] { textToInt16("99999"); }), ErrorNumber::Overflow);
}

TEST(NumberText, ReportHasASpaceWhereTheSignWouldBe) {
    EXPECT_EQ(numberToReportText(440), " 440");
    EXPECT_EQ(numberToReportText(-5), "-5");
    EXPECT_EQ(numberToReportText(0), " 0");
    EXPECT_EQ(integerToText(440), "440");
    EXPECT_EQ(integerToText(-32768), "-32768");
}

TEST(TextToNumber, ReadsADecimalPointUnderADecimalCommaLocale) {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr)
        GTEST_SKIP() << "no de_DE.UTF-8 locale (the test set-up generates one with localedef)";
    EXPECT_EQ(textToNumber("4.4e2"), 440.0);
    EXPECT_EQ(textToNumber("0.44e3"), 440.0);
    EXPECT_EQ(textToNumber(".5"), 0.5);
    EXPECT_EQ(textToInt16("1.5e3"), 1500);
    EXPECT_EQ(textToNumber("4,4"), 4.0) << "a comma still ends the number";
    std::setlocale(LC_ALL, "C");
}

}  // namespace
}  // namespace vireko
