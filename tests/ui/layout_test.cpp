// Geometry and input of the window, checked without a window.
#include "core/state.h"
#include "ui/layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

constexpr int w = 884, h = 561; // a 900 x 600 window's client area under Wine

void setCatalogue(std::size_t rows) {
    auto list = std::make_shared<LocationList>(rows, Location{"DE", L"Germany"});
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

// f holds exactly from lo to hi (65535: the largest coordinate, open above).
template <class F> void expectRange(F f, int lo, int hi) {
    EXPECT_FALSE(f(lo - 1)) << lo - 1;
    EXPECT_TRUE(f(lo)) << lo;
    EXPECT_TRUE(f(hi)) << hi;
    if (hi < 65535) {
        EXPECT_FALSE(f(hi + 1)) << hi + 1;
    }
}

} // namespace

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

TEST(Layout, CentreAndRegionsHaveTheirBounds) {
    EXPECT_EQ(pageCentre(900, 600).x, 580);
    EXPECT_EQ(pageCentre(900, 600).y, 300);
    EXPECT_EQ(pageCentre(901, 601).x, 580); // page width 641: truncated
    EXPECT_EQ(pageCentre(901, 601).y, 300);
    EXPECT_EQ(pageCentre(400, 300).x, 330); // narrow window: over the panel

    // The button is the open disc of radius 90 (63^2 + 63^2 < 8100 < 2 * 64^2).
    const PageCentre c = pageCentre(w, h);
    EXPECT_TRUE(inConnectButton(c.x, c.y - 89, w, h));
    EXPECT_FALSE(inConnectButton(c.x, c.y - 90, w, h));
    EXPECT_FALSE(inConnectButton(c.x + 90, c.y, w, h));
    EXPECT_TRUE(inConnectButton(c.x + 63, c.y + 63, w, h));
    EXPECT_FALSE(inConnectButton(c.x + 64, c.y + 64, w, h));
    EXPECT_FALSE(inConnectButton(65535, 65535, w, h)); // no overflow

    // Each region at its first and last pixel and one beyond each.
    expectRange([](int x) { return inGearIcon(x, 40, w); }, w - 61, 65535);
    expectRange([](int y) { return inGearIcon(w - 30, y, w); }, 31, 61);
    expectRange([](int x) { return inBackButton(x, h - 40, h); }, 301, 419);
    expectRange([](int y) { return inBackButton(350, y, h); }, h - 79, 65535);
    expectRange([](int y) { return inKillSwitchToggle(w - 80, y, w); }, 101, 159);
    expectRange([](int x) { return inKillSwitchToggle(x, 130, w); }, w - 89, 65535);
    expectRange([](int y) { return inAutostartToggle(w - 80, y, w); }, 181, 239);
    expectRange([](int x) { return inAutostartToggle(x, 200, w); }, w - 89, 65535);
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

TEST(Layout, HaloBreathesBetween95And105Percent) {
    // Over one turn: 180 * (1 +- 0.05), truncated; a ring of at most 5 pixels.
    int smallest = 1000, largest = 0;
    for (float phase = 0.0f; phase < 6.3f; phase += 0.08f) {
        const HaloSize halo = haloSize(phase);
        smallest = std::min(smallest, halo.diameter);
        largest = std::max(largest, halo.diameter);
        EXPECT_TRUE(halo.radius >= 85 && halo.radius <= buttonRadius + 5) << phase;
    }
    EXPECT_EQ(haloSize(0.0f).diameter, 180);
    EXPECT_TRUE(largest >= 188 && largest <= 189 && smallest >= 170 && smallest <= 172);
}

TEST_F(Input, RowPressSelectsTheDrawnRowAndStopsOnlyARunningConnection) {
    PressEffects e = pressAt(100, 150, w, h); // inside the drawn second row
    EXPECT_EQ(appState.selectedIndex, 1);
    EXPECT_TRUE(e.repaint);
    EXPECT_FALSE(e.toggleConnection);
    pressAt(259, 90, w, h);
    EXPECT_EQ(appState.selectedIndex, 0);

    // Above the rows, in a gap, and past the last row: nothing at all.
    for (int y : {89, 142, rowTop(6) + 10}) {
        appState.selectedIndex = 3;
        EXPECT_FALSE(pressAt(100, y, w, h).repaint) << y;
        EXPECT_EQ(appState.selectedIndex, 3) << y;
    }

    int row = 2;
    for (ConnectionState s : {Connected, Connecting, Disconnected}) {
        appState.connectionState = s;
        e = pressAt(50, rowTop(row) + 5, w, h);
        EXPECT_EQ(e.toggleConnection, s == Connected) << s;
        EXPECT_EQ(appState.selectedIndex, row++);
    }
    setCatalogue(0);
    EXPECT_FALSE(pressAt(100, 100, w, h).repaint);
    EXPECT_EQ(appState.selectedIndex, 4);
}

TEST_F(Input, MainPagePressesOpenSettingsOrToggle) {
    const PageCentre c = pageCentre(w, h);
    for (ConnectionState s : {Disconnected, Connecting, Connected}) {
        appState.connectionState = s;
        EXPECT_TRUE(pressAt(c.x, c.y - 89, w, h).toggleConnection) << s;
    }
    EXPECT_FALSE(pressAt(c.x, c.y - 90, w, h).toggleConnection);
    // x = 260 belongs to the page, not to the panel.
    EXPECT_FALSE(pressAt(260, rowTop(1), w, h).toggleConnection);
    EXPECT_EQ(appState.selectedIndex, 0);

    const PressEffects e = pressAt(w - 30, 45, w, h);
    EXPECT_EQ(appState.settingsPageShown, 1);
    EXPECT_FALSE(e.toggleConnection);
    EXPECT_FALSE(e.saveSettings);
    // On the settings page the button's place is no button.
    EXPECT_FALSE(pressAt(c.x, c.y, w, h).toggleConnection);
}

TEST_F(Input, SettingsPageFlipsAndGoesBack) {
    appState.settingsPageShown = 1;
    EXPECT_TRUE(pressAt(w - 70, 130, w, h).saveSettings);
    EXPECT_TRUE(appState.killSwitchEnabled);
    EXPECT_FALSE(appState.autostartEnabled);
    EXPECT_TRUE(pressAt(w - 70, 200, w, h).saveSettings);
    EXPECT_TRUE(appState.autostartEnabled);
    pressAt(w - 70, 130, w, h);
    EXPECT_FALSE(appState.killSwitchEnabled);
    // Between the cards: nothing flips, nothing is saved.
    EXPECT_FALSE(pressAt(w - 70, 170, w, h).saveSettings);

    pressAt(300, h - 40, w, h);
    EXPECT_EQ(appState.settingsPageShown, 1);
    EXPECT_FALSE(pressAt(301, h - 40, w, h).saveSettings);
    EXPECT_EQ(appState.settingsPageShown, 0);

    // Client 500 x 300: y 230 lies in the Back band (> 220) and in the
    // Autostart band (x 415 is right of 500 - 90): both happen.
    appState.settingsPageShown = 1;
    EXPECT_TRUE(pressAt(415, 230, 500, 300).saveSettings);
    EXPECT_EQ(appState.settingsPageShown, 0);
    EXPECT_FALSE(appState.autostartEnabled);
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
