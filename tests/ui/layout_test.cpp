// Geometry and input of the window, checked without a window.
#include "core/state.h"
#include "ui/layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

TEST(Layout, RowBandsMatchTheDrawnRows) {
    // Row k is drawn from 90 + 55k to 140 + 55k, both ends included; 150 lies
    // inside the drawn second row, 65535 is the largest y a message carries.
    const struct {
        int y;
        std::size_t rows;
        int row;
    } cases[] = {{89, 6, -1},         {90, 6, 0},       {140, 6, 0}, {141, 6, -1}, {144, 6, -1},
                 {145, 6, 1},         {150, 6, 1},      {195, 6, 1}, {196, 6, -1}, {365, 6, 5},
                 {415, 6, 5},         {420, 6, -1},     {0, 6, -1},  {-30, 6, -1}, {100, 0, -1},
                 {65535, 2000, 1189}, {65535, 1189, -1}};
    for (const auto& c : cases)
        EXPECT_EQ(rowAt(c.y, c.rows), c.row) << c.y << " of " << c.rows << " rows";
}

TEST(Layout, PulsePhaseStaysWithinOneTurnAndKeepsMoving) {
    const float turn = 2.0f * std::numbers::pi_v<float>;
    EXPECT_FLOAT_EQ(advancePulsePhase(0.0f), 0.08f); // the first halo is at 0.08
    float phase = 0.0f;
    float lowest = turn, highest = 0.0f;
    // A phase that only grows leaves the turn after 79 frames and, after a few
    // days at 60 frames a second, stops moving; a bounded one keeps sweeping.
    for (int frame = 0; frame < 200'000; ++frame) {
        const float next = advancePulsePhase(phase);
        ASSERT_GE(next, 0.0f);
        ASSERT_LT(next, turn);
        // Every frame moves the halo by the same 0.08, across the wrap too.
        ASSERT_NEAR(std::fmod(next - phase + turn, turn), 0.08f, 1e-3f) << "frame " << frame;
        phase = next;
        if (frame > 199'900) {
            lowest = std::min(lowest, phase);
            highest = std::max(highest, phase);
        }
    }
    EXPECT_GT(highest - lowest, 1.0f); // still sweeping, late in the session
    // A phase grown by an older build, or a broken one, comes back in range.
    EXPECT_LT(advancePulsePhase(1.0e6f), turn);
    EXPECT_EQ(advancePulsePhase(std::nanf("")), 0.0f);
}
