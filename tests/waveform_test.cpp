// The oscilloscope picture: grid, trace and axis, in their colours and order.
#include <gtest/gtest.h>

#include "fakes.h"
#include "runtime_error.h"
#include "waveform.h"

namespace vireko {
namespace {

using testing::RecordingSurface;

struct WorkedTrace {
    const char* name;
    std::int16_t f;
    std::int16_t s;
    std::array<int, 8> y;
};

class TraceYWorkedValues : public ::testing::TestWithParam<WorkedTrace> {};

TEST_P(TraceYWorkedValues, MatchFirstEightPixels) {
    for (int x = 0; x < 8; ++x)
        EXPECT_EQ(TraceY(x, GetParam().f, GetParam().s), GetParam().y[std::size_t(x)]) << "x=" << x;
}

INSTANTIATE_TEST_SUITE_P(
    Traces, TraceYWorkedValues,
    ::testing::Values(
        WorkedTrace{"Hz440Times1", 440, 20, {160, 115, 77, 50, 40, 47, 71, 107}},
        WorkedTrace{"Hz440Times10", 440, 200, {160, 155, 151, 146, 142, 137, 133, 128}},
        WorkedTrace{"Hz1000Times10", 1000, 200, {160, 150, 139, 129, 119, 109, 100, 91}}),
    [](const auto& row) { return row.param.name; });

TEST(TraceY, TwentyHertzRisesOneDegreePerPixel) {
    EXPECT_EQ(TraceY(0, 20, 20), 160);
    EXPECT_LT(TraceY(1, 20, 20), 160);
    EXPECT_EQ(TraceY(90, 20, 20), 40);  // a quarter cycle: the top
    EXPECT_EQ(TraceY(270, 20, 20), 280);
}

TEST(TraceY, StaysInsideFortyToTwoEightyForEveryAcceptedFrequency) {
    int lowest = 160, highest = 160;
    for (int f = 20; f <= 20000; f += 7) {
        for (int s : {20, 200, 2000}) {
            for (int x = kTraceFirstX; x <= kTraceLastX; x += 5) {
                const int y = TraceY(x, std::int16_t(f), std::int16_t(s));
                lowest = std::min(lowest, y);
                highest = std::max(highest, y);
            }
        }
    }
    EXPECT_GE(lowest, 40);
    EXPECT_LE(highest, 280);
}

TEST(TraceY, ScaleZeroIsARunTimeError) {
    EXPECT_THROW(TraceY(0, 440, 0), RuntimeError);
    EXPECT_THROW(TraceY(5, 440, 0), RuntimeError);
}

TEST(DrawGrid, FourColumnsAndFiveRowsInGridBlue) {
    RecordingSurface surface;
    DrawGrid(surface);
    ASSERT_EQ(surface.segments.size(), 9u);
    EXPECT_EQ(surface.count(kGridBlue), 9u);
    std::vector<float> columns, rows;
    for (const auto& s : surface.segments) {
        if (s.x1 == s.x2) {
            columns.push_back(s.x1);
            EXPECT_EQ(s.y1, 1);
            EXPECT_EQ(s.y2, 320);
        } else {
            rows.push_back(s.y1);
            EXPECT_EQ(s.x1, 1);
            EXPECT_EQ(s.x2, 540);
        }
    }
    EXPECT_EQ(columns, (std::vector<float>{104, 212, 320, 428}));
    EXPECT_EQ(rows, (std::vector<float>{20, 90, 160, 230, 300}));
}

TEST(DrawTrace, OnePolylineOf822SegmentsThenTheAxis) {
    RecordingSurface surface;
    DrawTrace(surface, 440, 20);
    ASSERT_EQ(surface.segments.size(), 823u);
    for (std::size_t i = 1; i < 822; ++i) {
        const auto& before = surface.segments[i - 1];
        const auto& segment = surface.segments[i];
        EXPECT_EQ(segment.colour, kTraceYellow);
        EXPECT_EQ(segment.x1, before.x2);
        EXPECT_EQ(segment.y1, before.y2) << "the polyline is unbroken at x=" << segment.x1;
    }
    EXPECT_EQ(surface.segments.front().x2, -101);
    EXPECT_EQ(surface.segments[822 - 1].x2, 720);
    const auto& axis = surface.segments.back();
    EXPECT_EQ(axis.colour, kAxisLightBlue);
    EXPECT_EQ(axis.x1, 1);
    EXPECT_EQ(axis.y1, 160);
    EXPECT_EQ(axis.x2, 540);
    EXPECT_EQ(axis.y2, 160);
}

TEST(DrawTrace, WithScaleZeroEveryPointFailsAndTheLineStaysAtItsStart) {
    RecordingSurface surface;
    DrawTrace(surface, 440, 0);
    ASSERT_EQ(surface.segments.size(), 823u);
    EXPECT_EQ(surface.segments[500].y1, 0);
    EXPECT_EQ(surface.segments[500].y2, 0);
    EXPECT_EQ(surface.segments.back().colour, kAxisLightBlue);
}

TEST(DrawTrace, FrequencyZeroIsTheCentreLine) {
    RecordingSurface surface;
    DrawTrace(surface, 0, 20);
    for (std::size_t i = 1; i < 822; ++i) EXPECT_EQ(surface.segments[i].y2, 160);
}

}  // namespace
}  // namespace vireko
