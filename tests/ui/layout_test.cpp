// Geometry, the element table and input of the window, checked without a
// window.
#include "ui/input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace {

void setRows(int count) {
    LocationList list(static_cast<std::size_t>(count), Location{"US", L"Row"});
    appState.locations.store(std::make_shared<const LocationList>(std::move(list)));
}

// Each test starts from the window's first state.
struct Fresh {
    Fresh(int dpi = 96) {
        view = ViewState{};
        view.dpi = dpi;
        appState.selectedIndex = 0;
        appState.connectionState = Disconnected;
    }
    ~Fresh() { view = ViewState{}; }
};

// The row a press at (x, y) reaches, or -1.
int rowAtPoint(int x, int y, int clientHeight) {
    const Element* row = rowAt(windowElements(884, clientHeight, Disconnected), x, y);
    return row ? row->row : -1;
}

// Whether a press at (x, y) reaches the part, on the part's page.
bool reached(Part part, int x, int y, int clientWidth, int clientHeight) {
    view.settingsPageShown = part >= Part::KillSwitch;
    const Element* e = windowElements(clientWidth, clientHeight, Disconnected).find(part);
    return e && reaches(*e, x, y);
}

} // namespace

TEST(Layout, RowBandsMatchTheDrawnRows) {
    // Row k is drawn from 90 + 55k to 140 + 55k, both ends included, across
    // the panel; 150 lies inside the drawn second row, 65535 is the largest y
    // a message carries (in a client that tall).
    Fresh fresh;
    const struct {
        int x, y, rows, row;
    } cases[] = {
        {100, 89, 6, -1},  {100, 90, 6, 0},   {100, 140, 6, 0},         {100, 141, 6, -1},
        {100, 144, 6, -1}, {100, 145, 6, 1},  {100, 150, 6, 1},         {100, 195, 6, 1},
        {100, 196, 6, -1}, {100, 365, 6, 5},  {100, 415, 6, 5},         {100, 420, 6, -1},
        {100, 0, 6, -1},   {100, -30, 6, -1}, {100, 100, 0, -1},        {0, 100, 6, 0},
        {259, 100, 6, 0},  {260, 100, 6, -1}, {100, 65535, 2000, 1189}, {100, 65535, 1189, -1}};
    for (const auto& c : cases) {
        setRows(c.rows);
        EXPECT_EQ(rowAtPoint(c.x, c.y, 70000), c.row)
            << c.x << "," << c.y << " of " << c.rows << " rows";
    }
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

TEST(Layout, ScaledGeometryIsTheSameAt96AndGrowsByDpiOver96) {
    // Lengths rounded to the nearest pixel; the row bands, the regions and the
    // halo follow.
    const struct {
        int dpi, panel, firstTop, secondTop, bandEnd, gearLeft, radius, halo;
    } cases[] = {{96, 260, 90, 145, 140, 1350, 90, 180},
                 {120, 325, 113, 182, 176, 1337, 113, 225},
                 {144, 390, 135, 218, 210, 1325, 135, 270},
                 {192, 520, 180, 290, 280, 1300, 180, 360}};
    for (const auto& c : cases) {
        Fresh fresh(c.dpi);
        SCOPED_TRACE(c.dpi);
        setRows(9);
        EXPECT_EQ(panelWidth(), c.panel);
        EXPECT_EQ(rowTop(0), c.firstTop);
        EXPECT_EQ(rowTop(1), c.secondTop);
        EXPECT_EQ(rowAtPoint(100, c.firstTop - 1, 1400), -1);
        EXPECT_EQ(rowAtPoint(100, c.firstTop, 1400), 0);
        EXPECT_EQ(rowAtPoint(100, c.bandEnd, 1400), 0);
        EXPECT_EQ(rowAtPoint(100, c.bandEnd + 1, 1400), -1);
        EXPECT_EQ(rowAtPoint(100, c.secondTop, 1400), 1);
        const ElementTable& table = windowElements(1400, 900, Disconnected);
        EXPECT_EQ(table.find(Part::Gear)->box.left, c.gearLeft);
        // The button's edge: a radius straight above the centre is outside.
        const Element& button = *table.find(Part::Button);
        const PageCentre centre = pageCentre(1400, 900);
        EXPECT_FALSE(reaches(button, centre.x, centre.y - c.radius));
        EXPECT_TRUE(reaches(button, centre.x, centre.y - c.radius + 1));
        EXPECT_EQ(haloSize(0.0f).diameter, c.halo);
        EXPECT_EQ(haloArea(table).right - haloArea(table).left, 2 * px(buttonRadius + 10));
    }
}

TEST(Layout, PressRegionsScaleWithTheWindow) {
    Fresh fresh(144);
    // 1350 x 900 outer at 144 DPI; a client of 1334 x 861, say.
    const int w = 1334, h = 861;
    const struct {
        int x, y;
        bool gear, back, kill, autostart;
    } cases[] = {
        {w - 92, 47, true, false, false, false},    {w - 93, 47, false, false, false, false},
        {w - 30, 46, false, false, false, false},   {w - 30, 92, true, false, false, false},
        {452, h - 119, false, true, false, false},  {451, h - 119, false, false, false, false},
        {452, h - 120, false, false, false, false}, {w - 134, 152, false, false, true, false},
        {w - 135, 152, false, false, false, false}, {w - 100, 239, false, false, true, false},
        {w - 100, 240, false, false, false, false}, {w - 100, 272, false, false, false, true},
        {w - 100, 359, false, false, false, true},  {w - 100, 360, false, false, false, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(reached(Part::Gear, c.x, c.y, w, h), c.gear) << c.x << "," << c.y;
        EXPECT_EQ(reached(Part::Back, c.x, c.y, w, h), c.back) << c.x << "," << c.y;
        EXPECT_EQ(reached(Part::KillSwitch, c.x, c.y, w, h), c.kill) << c.x << "," << c.y;
        EXPECT_EQ(reached(Part::Autostart, c.x, c.y, w, h), c.autostart) << c.x << "," << c.y;
    }
    // In a narrow window the button reaches over the panel, which takes the
    // press (centre x 445, panel 390).
    EXPECT_FALSE(reached(Part::Button, 389, 200, 500, 400));
    EXPECT_TRUE(reached(Part::Button, 390, 200, 500, 400));
}

TEST(Layout, ListScrollsOnlyWhenARowWouldStartBelowTheBottom) {
    // 561 is the client height of the 900 x 600 window: nine rows start
    // within it (the ninth is cut, as it always was), eight show whole.
    const struct {
        int dpi, height, rows;
        bool overflows;
        int lastFirst;
    } cases[] = {{96, 561, 6, false, 0},  {96, 561, 9, false, 0},   {96, 561, 10, true, 2},
                 {96, 561, 20, true, 12}, {96, 585, 10, true, 1},   {96, 586, 10, false, 0},
                 {96, 90, 3, true, 2},    {96, 141, 3, true, 2},    {96, 142, 3, true, 2},
                 {96, 200, 3, true, 1},   {96, 561, 0, false, 0},   {144, 861, 9, false, 0},
                 {144, 861, 10, true, 2}, {144, 861, 20, true, 12}, {192, 1122, 20, true, 12}};
    for (const auto& c : cases) {
        Fresh fresh(c.dpi);
        SCOPED_TRACE(std::to_string(c.dpi) + " dpi, " + std::to_string(c.height) + " high, " +
                     std::to_string(c.rows) + " rows");
        EXPECT_EQ(listOverflows(c.rows, c.height), c.overflows);
        EXPECT_EQ(lastFirstRow(c.rows, c.height), c.lastFirst);
        view.firstRow = 1000;
        EXPECT_EQ(firstRowShown(c.rows, c.height), c.lastFirst);
        if (c.overflows && c.height >= 200) {
            // The thumb runs along the panel's edge, from the top at the
            // first row to the bottom at the last.
            const PixelBox top = (view.firstRow = 0, scrollThumbBox(c.rows, c.height));
            const PixelBox end = (view.firstRow = c.lastFirst, scrollThumbBox(c.rows, c.height));
            EXPECT_EQ(top.top, rowTop(0));
            EXPECT_LE(end.bottom, c.height);
            EXPECT_GE(end.bottom, c.height - px(10));
            EXPECT_LT(top.bottom - top.top, c.height);
            EXPECT_GE(top.left, panelWidth() - px(10)); // clear of the rows (10 to 250)
            EXPECT_LE(top.right, panelWidth());
        }
    }
}

TEST(Layout, KeysWheelAndPressesMoveSelectionScrollAndFocus) {
    // One session of 20 rows in the 561-high client, step by step: what each
    // input leaves selected, at the list's top, focused and asked for.
    Fresh fresh;
    setRows(20);
    const int w = 884, h = 561;
    enum Step { K, Wheel, Move, Press };
    const struct {
        Step step;
        Key key;
        int a, b; // wheel delta; or the point
        int selected, first, hovered;
        Part focus;
        bool toggle, selectionMoved;
        ConnectionState state = Disconnected;
    } steps[] = {
        {K, Key::Up, 0, 0, 0, 0, -1, Part::List, false, false},
        {K, Key::Down, 0, 0, 1, 0, -1, Part::List, false, true},
        {K, Key::End, 0, 0, 19, 12, -1, Part::List, false, true},
        {K, Key::Down, 0, 0, 19, 12, -1, Part::List, false, false},
        {K, Key::PageUp, 0, 0, 12, 12, -1, Part::List, false, true},
        {K, Key::Up, 0, 0, 11, 11, -1, Part::List, false, true},
        {K, Key::Home, 0, 0, 0, 0, -1, Part::List, false, true},
        {K, Key::PageDown, 0, 0, 7, 0, -1, Part::List, false, true},
        {K, Key::Down, 0, 0, 8, 1, -1, Part::List, false, true},
        // The pointer over the list's top row; the rows move under it.
        {Move, Key::Up, 100, 100, 8, 1, 1, Part::List, false, false},
        {Wheel, Key::Up, -360, 0, 8, 4, 4, Part::List, false, false},
        {Wheel, Key::Up, -60, 0, 8, 4, 4, Part::List, false, false},
        {Wheel, Key::Up, -60, 0, 8, 5, 5, Part::List, false, false},
        {Wheel, Key::Up, -1200, 0, 8, 12, 12, Part::List, false, false},
        {Wheel, Key::Up, 120, 0, 8, 11, 11, Part::List, false, false},
        // Row 15 is at place 4; a press there selects it.
        {Press, Key::Up, 150, 90 + 55 * 4 + 3, 15, 11, 11, Part::List, false, true},
        {K, Key::Tab, 0, 0, 15, 11, 11, Part::Button, false, false},
        {K, Key::Enter, 0, 0, 15, 11, 11, Part::Button, true, false},
        {K, Key::Tab, 0, 0, 15, 11, 11, Part::Gear, false, false},
        {K, Key::Tab, 0, 0, 15, 11, 11, Part::List, false, false},
        {K, Key::BackTab, 0, 0, 15, 11, 11, Part::Gear, false, false},
        {K, Key::Space, 0, 0, 15, 11, 11, Part::KillSwitch, false, false},
        {K, Key::Down, 0, 0, 15, 11, 11, Part::KillSwitch, false, false},
        {K, Key::BackTab, 0, 0, 15, 11, 11, Part::Back, false, false},
        {K, Key::Tab, 0, 0, 15, 11, 11, Part::KillSwitch, false, false},
        {K, Key::Escape, 0, 0, 15, 11, 11, Part::Gear, false, false},
        {K, Key::Escape, 0, 0, 15, 11, 11, Part::Gear, false, false},
        // While connected: a row change stops; Enter from the list toggles.
        {K, Key::Up, 0, 0, 14, 11, 11, Part::List, true, true, Connected},
        {K, Key::Home, 0, 0, 0, 0, 11, Part::List, true, true, Connected},
        {K, Key::Up, 0, 0, 0, 0, 11, Part::List, false, false, Connected},
        {K, Key::Space, 0, 0, 0, 0, 11, Part::List, true, false, Connected},
        {Press, Key::Up, 150, 90 + 3, 0, 0, 11, Part::List, true, false, Connected},
    };
    int index = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        appState.connectionState = s.state;
        PressEffects effects;
        switch (s.step) {
        case K:
            effects = keyPressed(s.key, w, h);
            break;
        case Wheel:
            wheelTurned(s.a, w, h);
            break;
        case Move:
            pointerMovedTo(s.a, s.b, w, h);
            break;
        case Press:
            effects = pressAt(s.a, s.b, w, h);
            break;
        }
        EXPECT_EQ(appState.selectedIndex.load(), s.selected);
        EXPECT_EQ(firstRowShown(20, h), s.first);
        EXPECT_EQ(view.hoveredIndex, s.hovered);
        EXPECT_EQ(view.focus, s.focus);
        EXPECT_EQ(effects.toggleConnection, s.toggle);
        EXPECT_EQ(effects.selectionMoved, s.selectionMoved);
    }
    // Space and Enter on the settings page flip the focused switch and save.
    view.settingsPageShown = true;
    view.focus = Part::Autostart;
    const bool autostart = appState.autostartEnabled;
    const PressEffects flipped = keyPressed(Key::Enter, w, h);
    EXPECT_TRUE(flipped.saveSettings);
    EXPECT_NE(appState.autostartEnabled, autostart);
    appState.autostartEnabled = autostart;
}

TEST(Layout, NineRowsOrFewerNeverScroll) {
    Fresh fresh;
    setRows(9);
    const PressEffects end = keyPressed(Key::End, 884, 561);
    EXPECT_TRUE(end.selectionMoved);
    EXPECT_EQ(appState.selectedIndex.load(), 8);
    EXPECT_FALSE(wheelTurned(-120, 884, 561));
    EXPECT_EQ(firstRowShown(9, 561), 0);
    EXPECT_EQ(rowAtPoint(100, rowTop(8) + 3, 561), 8);
}
