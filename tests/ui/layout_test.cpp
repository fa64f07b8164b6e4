// Geometry and input of the window, checked without a window.
#include "app/state.h"
#include "ui/layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

void setCatalogue(std::size_t rows) {
    auto list = std::make_shared<LocationList>();
    for (std::size_t i = 0; i < rows; ++i)
        list->push_back({"DE", L"Germany"});
    appState.locations.store(std::shared_ptr<const LocationList>(std::move(list)));
}

// Every test starts from the state a fresh process has.
class Input : public ::testing::Test {
  protected:
    void SetUp() override {
        setCatalogue(6);
        appState.selectedIndex = 0;
        appState.hoveredIndex = -1;
        appState.settingsPageShown = 0;
        appState.killSwitchEnabled = false;
        appState.autostartEnabled = false;
        appState.connectionState = Disconnected;
    }
    void TearDown() override {
        setCatalogue(0);
        appState.connectionState = Disconnected;
    }
};

} // namespace

TEST(Layout, RowBandsMatchTheDrawnRows) {
    // Row k is drawn from 90 + 55k to 140 + 55k, both ends included.
    EXPECT_EQ(rowAt(89, 6), -1);
    EXPECT_EQ(rowAt(90, 6), 0);
    EXPECT_EQ(rowAt(140, 6), 0);
    for (int gap = 141; gap <= 144; ++gap)
        EXPECT_EQ(rowAt(gap, 6), -1) << gap;
    EXPECT_EQ(rowAt(145, 6), 1);
    EXPECT_EQ(rowAt(150, 6), 1); // inside the drawn second row: the second row
    EXPECT_EQ(rowAt(195, 6), 1);
    EXPECT_EQ(rowAt(196, 6), -1);
    EXPECT_EQ(rowAt(rowTop(5), 6), 5);
    EXPECT_EQ(rowAt(rowTop(5) + rowHeight, 6), 5);
    EXPECT_EQ(rowAt(rowTop(6), 6), -1); // past the last row
    EXPECT_EQ(rowAt(60, 6), -1);
    EXPECT_EQ(rowAt(0, 6), -1);
    EXPECT_EQ(rowAt(-30, 6), -1); // negative y must not truncate into row 0
    EXPECT_EQ(rowAt(100, 0), -1);
    EXPECT_EQ(rowAt(65535, 2000), 1189); // the largest y a message can carry
    EXPECT_EQ(rowAt(65535, 1189), -1);
}

TEST(Layout, PageCentreTruncatesOddSizes) {
    EXPECT_EQ(pageCentre(900, 600).x, 580);
    EXPECT_EQ(pageCentre(900, 600).y, 300);
    EXPECT_EQ(pageCentre(901, 601).x, 580); // page width 641
    EXPECT_EQ(pageCentre(901, 601).y, 300);
    EXPECT_EQ(pageCentre(400, 300).x, 330); // narrow window: over the panel
}

TEST(Layout, ConnectButtonIsTheOpenDiscOfRadius90) {
    const int w = 884, h = 561; // a 900 x 600 window's client area under Wine
    const PageCentre c = pageCentre(w, h);
    EXPECT_TRUE(inConnectButton(c.x, c.y, w, h));
    EXPECT_FALSE(inConnectButton(c.x, c.y - 90, w, h));
    EXPECT_TRUE(inConnectButton(c.x, c.y - 89, w, h));
    EXPECT_FALSE(inConnectButton(c.x + 90, c.y, w, h));
    EXPECT_TRUE(inConnectButton(c.x + 63, c.y + 63, w, h)); // 7938 < 8100
    EXPECT_FALSE(inConnectButton(c.x + 64, c.y + 64, w, h));
    EXPECT_FALSE(inConnectButton(65535, 65535, w, h)); // no overflow
}

TEST(Layout, PageRegionsHaveTheirBounds) {
    const int w = 884, h = 561;
    EXPECT_FALSE(inGearIcon(w - 62, 40, w));
    EXPECT_TRUE(inGearIcon(w - 61, 40, w));
    EXPECT_FALSE(inGearIcon(w - 30, 30, w));
    EXPECT_TRUE(inGearIcon(w - 30, 31, w));
    EXPECT_TRUE(inGearIcon(w - 30, 61, w));
    EXPECT_FALSE(inGearIcon(w - 30, 62, w));

    EXPECT_FALSE(inBackButton(300, h - 40, h));
    EXPECT_TRUE(inBackButton(301, h - 40, h));
    EXPECT_TRUE(inBackButton(419, h - 40, h));
    EXPECT_FALSE(inBackButton(420, h - 40, h));
    EXPECT_FALSE(inBackButton(350, h - 80, h));
    EXPECT_TRUE(inBackButton(350, h - 79, h));

    EXPECT_FALSE(inKillSwitchToggle(w - 80, 100, w));
    EXPECT_TRUE(inKillSwitchToggle(w - 80, 101, w));
    EXPECT_TRUE(inKillSwitchToggle(w - 80, 159, w));
    EXPECT_FALSE(inKillSwitchToggle(w - 80, 160, w));
    EXPECT_FALSE(inKillSwitchToggle(w - 90, 130, w));
    EXPECT_FALSE(inAutostartToggle(w - 80, 180, w));
    EXPECT_TRUE(inAutostartToggle(w - 80, 181, w));
    EXPECT_TRUE(inAutostartToggle(w - 80, 239, w));
    EXPECT_FALSE(inAutostartToggle(w - 80, 240, w));
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
        const float step = std::fmod(next - phase + turn, turn);
        ASSERT_NEAR(step, 0.08f, 1e-3f) << "frame " << frame;
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

TEST(Layout, HaloBreathesBetween95And105Percent) {
    EXPECT_EQ(haloSize(0.0f).diameter, 180);
    EXPECT_EQ(haloSize(0.0f).radius, 90);
    int smallest = 1000, largest = 0;
    float phase = 0.0f;
    for (int frame = 0; frame < 80; ++frame, phase = advancePulsePhase(phase)) {
        const HaloSize halo = haloSize(phase);
        smallest = std::min(smallest, halo.diameter);
        largest = std::max(largest, halo.diameter);
        // Shows as a ring of at most 5 pixels around the 90-pixel button.
        EXPECT_LE(halo.radius - buttonRadius, 5);
        EXPECT_GE(halo.radius, 85);
    }
    EXPECT_GE(largest, 188);
    EXPECT_LE(largest, 189);
    EXPECT_GE(smallest, 170);
    EXPECT_LE(smallest, 172);
}

TEST_F(Input, RowPressSelectsTheDrawnRow) {
    PressEffects e = pressAt(100, 150, 884, 561); // inside the drawn second row
    EXPECT_EQ(appState.selectedIndex, 1);
    EXPECT_TRUE(e.repaint);
    EXPECT_FALSE(e.toggleConnection);

    e = pressAt(259, 90, 884, 561);
    EXPECT_EQ(appState.selectedIndex, 0);

    // Above the rows, in a gap, and past the last row: nothing at all.
    for (int y : {55, 89, 142, rowTop(6) + 10}) {
        appState.selectedIndex = 3;
        e = pressAt(100, y, 884, 561);
        EXPECT_EQ(appState.selectedIndex, 3) << y;
        EXPECT_FALSE(e.repaint) << y;
    }
    setCatalogue(0);
    e = pressAt(100, 100, 884, 561);
    EXPECT_EQ(appState.selectedIndex, 3);
    EXPECT_FALSE(e.repaint);
}

TEST_F(Input, RowPressStopsOnlyARunningConnection) {
    appState.connectionState = Connected;
    PressEffects e = pressAt(50, rowTop(2) + 5, 884, 561);
    EXPECT_TRUE(e.toggleConnection);
    EXPECT_EQ(appState.selectedIndex, 2);
    for (ConnectionState s : {Connecting, Disconnected}) {
        appState.connectionState = s;
        e = pressAt(50, rowTop(3) + 5, 884, 561);
        EXPECT_FALSE(e.toggleConnection) << s;
        EXPECT_EQ(appState.selectedIndex, 3);
    }
}

TEST_F(Input, MainPagePressesOpenSettingsOrToggle) {
    const int w = 884, h = 561;
    const PageCentre c = pageCentre(w, h);
    for (ConnectionState s : {Disconnected, Connecting, Connected}) {
        appState.connectionState = s;
        EXPECT_TRUE(pressAt(c.x, c.y - 89, w, h).toggleConnection) << s;
    }
    EXPECT_FALSE(pressAt(c.x, c.y - 90, w, h).toggleConnection);
    EXPECT_EQ(appState.settingsPageShown, 0);
    // x = 260 belongs to the page, not to the panel.
    appState.connectionState = Connected;
    EXPECT_FALSE(pressAt(260, rowTop(1), w, h).toggleConnection);
    EXPECT_EQ(appState.selectedIndex, 0);

    PressEffects e = pressAt(w - 30, 45, w, h);
    EXPECT_EQ(appState.settingsPageShown, 1);
    EXPECT_FALSE(e.toggleConnection);
    EXPECT_FALSE(e.saveSettings);
    // On the settings page the button's place is no button.
    EXPECT_FALSE(pressAt(c.x, c.y, w, h).toggleConnection);
}

TEST_F(Input, SettingsPageFlipsAndGoesBack) {
    const int w = 884, h = 561;
    appState.settingsPageShown = 1;
    PressEffects e = pressAt(w - 70, 130, w, h);
    EXPECT_TRUE(appState.killSwitchEnabled);
    EXPECT_FALSE(appState.autostartEnabled);
    EXPECT_TRUE(e.saveSettings);
    e = pressAt(w - 70, 200, w, h);
    EXPECT_TRUE(appState.autostartEnabled);
    EXPECT_TRUE(e.saveSettings);
    pressAt(w - 70, 130, w, h);
    EXPECT_FALSE(appState.killSwitchEnabled);
    // Between the cards: nothing flips, nothing is saved.
    e = pressAt(w - 70, 170, w, h);
    EXPECT_FALSE(e.saveSettings);
    EXPECT_EQ(appState.settingsPageShown, 1);

    e = pressAt(300, h - 40, w, h);
    EXPECT_EQ(appState.settingsPageShown, 1);
    e = pressAt(301, h - 40, w, h);
    EXPECT_EQ(appState.settingsPageShown, 0);
    EXPECT_FALSE(e.saveSettings);
}

TEST_F(Input, SmallWindowPressCanGoBackAndFlip) {
    // Client 500 x 300: y 230 lies in the Back band (> 220) and in the
    // Autostart band; x 415 is right of 500 - 90.
    appState.settingsPageShown = 1;
    const PressEffects e = pressAt(415, 230, 500, 300);
    EXPECT_EQ(appState.settingsPageShown, 0);
    EXPECT_TRUE(appState.autostartEnabled);
    EXPECT_TRUE(e.saveSettings);
}

TEST_F(Input, PointerHoversTheDrawnRowOrNone) {
    pointerMovedTo(100, 150);
    EXPECT_EQ(appState.hoveredIndex, 1);
    pointerMovedTo(100, 143);
    EXPECT_EQ(appState.hoveredIndex, -1);
    pointerMovedTo(100, 100);
    pointerMovedTo(260, 100);
    EXPECT_EQ(appState.hoveredIndex, -1);
    setCatalogue(0);
    pointerMovedTo(100, 100);
    EXPECT_EQ(appState.hoveredIndex, -1);
}
