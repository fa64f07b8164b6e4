#include "ui/layout.h"

#include "core/state.h"

#include <algorithm>
#include <cmath>
#include <numbers>

ViewState view;

int px(int length) {
    if (view.dpi == designDpi) return length;
    return static_cast<int>(std::lround(static_cast<double>(length) * view.dpi / designDpi));
}

int panelWidth() {
    return px(listPanelWidth);
}

int rowBandHeight() {
    return px(rowHeight);
}

int rowTop(int place) {
    return px(rowTopFirst) + px(rowPitch) * place;
}

PageCentre pageCentre(int clientWidth, int clientHeight) {
    return {panelWidth() + (clientWidth - panelWidth()) / 2, clientHeight / 2};
}

int rowAt(int y, std::size_t rowCount, int firstRow) {
    if (y < rowTop(0)) return -1;
    const int offset = y - rowTop(0);
    const int k = offset / px(rowPitch);
    if (offset - k * px(rowPitch) > rowBandHeight()) return -1; // in the gap below
    if (static_cast<std::size_t>(k) + static_cast<std::size_t>(std::max(firstRow, 0)) >= rowCount)
        return -1;
    return k + std::max(firstRow, 0);
}

int rowsStartingWithin(int clientHeight) {
    if (clientHeight <= rowTop(0)) return 0;
    return (clientHeight - rowTop(0) - 1) / px(rowPitch) + 1;
}

int rowsWholeWithin(int clientHeight) {
    // A band's last pixel is rowTop + rowBandHeight, which must lie inside.
    const int room = clientHeight - rowTop(0) - rowBandHeight();
    return room <= 0 ? 0 : (room - 1) / px(rowPitch) + 1;
}

bool listOverflows(std::size_t rowCount, int clientHeight) {
    return rowCount > static_cast<std::size_t>(rowsStartingWithin(clientHeight));
}

int lastFirstRow(std::size_t rowCount, int clientHeight) {
    if (!listOverflows(rowCount, clientHeight)) return 0;
    return static_cast<int>(rowCount) - std::max(rowsWholeWithin(clientHeight), 1);
}

int firstRowShown(std::size_t rowCount, int clientHeight) {
    return std::clamp(view.firstRow, 0, lastFirstRow(rowCount, clientHeight));
}

PixelBox scrollThumbBox(std::size_t rowCount, int clientHeight) {
    // The track runs from the first row's top to a little above the bottom.
    const int top = rowTop(0);
    const int track = clientHeight - px(8) - top;
    if (track < px(16)) return {0, 0, 0, 0}; // no room for a bar
    const int count = std::max(static_cast<int>(rowCount), 1);
    const int shown = std::clamp(rowsWholeWithin(clientHeight), 1, count);
    const int length = std::max(track * shown / count, px(16));
    const int travel = std::max(track - length, 0);
    const int last = std::max(lastFirstRow(rowCount, clientHeight), 1);
    const int thumbTop = top + travel * firstRowShown(rowCount, clientHeight) / last;
    return {panelWidth() - px(6), thumbTop, panelWidth() - px(3), thumbTop + length};
}

int hitTestRow(int y, int clientHeight) {
    const auto list = currentLocations();
    const std::size_t count = list ? list->size() : 0;
    return rowAt(y, count, firstRowShown(count, clientHeight));
}

bool inConnectButton(int x, int y, int clientWidth, int clientHeight) {
    const PageCentre c = pageCentre(clientWidth, clientHeight);
    // 64-bit: a far corner of a huge window must not overflow the square.
    const std::int64_t dx = x - c.x;
    const std::int64_t dy = y - c.y;
    const std::int64_t r = px(buttonRadius);
    return dx * dx + dy * dy < r * r;
}

bool inGearIcon(int x, int y, int clientWidth) {
    return x > clientWidth - px(62) && y >= px(31) && y <= px(61);
}

bool inBackButton(int x, int y, int clientHeight) {
    return y > clientHeight - px(80) && x >= px(301) && x <= px(419);
}

bool inKillSwitchToggle(int x, int y, int clientWidth) {
    return y >= px(101) && y <= px(159) && x > clientWidth - px(90);
}

bool inAutostartToggle(int x, int y, int clientWidth) {
    return y >= px(181) && y <= px(239) && x > clientWidth - px(90);
}

float advancePulsePhase(float phase) {
    constexpr float turn = 2.0f * std::numbers::pi_v<float>;
    float next = std::fmod(phase + 0.08f, turn);
    if (!(next >= 0.0f && next < turn)) next = 0.0f; // NaN, or a negative start
    return next;
}

HaloSize haloSize(float phase) {
    const float scale = static_cast<float>(std::sin(static_cast<double>(phase)) * 0.05 + 1.0);
    return {static_cast<int>(scale * static_cast<float>(px(2 * buttonRadius))),
            static_cast<int>(scale * static_cast<float>(px(buttonRadius)))};
}

PixelBox gearTileBox(int clientWidth) {
    return {clientWidth - px(50), px(30), clientWidth - px(18), px(62)};
}

PixelBox statusCardBox(int clientWidth, int clientHeight) {
    const PageCentre c = pageCentre(clientWidth, clientHeight);
    return {c.x - px(150), clientHeight - px(120), c.x + px(150), clientHeight - px(40)};
}

PixelBox haloArea(int clientWidth, int clientHeight) {
    const int reach = px(buttonRadius + 10);
    const PageCentre c = pageCentre(clientWidth, clientHeight);
    return {c.x - reach, c.y - reach, c.x + reach, c.y + reach};
}

bool haloAreaStandsAlone(int clientWidth, int clientHeight) {
    const PixelBox a = haloArea(clientWidth, clientHeight);
    // Two pixels off every other shape: anti-aliased edges spill into one.
    constexpr int gap = 2;
    const bool inPage = a.left >= panelWidth() + gap && a.top >= gap &&
                        a.right <= clientWidth - gap && a.bottom <= clientHeight - gap;
    const PixelBox gear = gearTileBox(clientWidth);
    // The gear's focus ring reaches a few pixels past the tile.
    const bool clearOfGear =
        a.right <= gear.left - px(4) - gap || a.top >= gear.bottom + px(4) + gap;
    // The card is wider than the area, so only its top matters.
    const bool clearOfCard = a.bottom <= statusCardBox(clientWidth, clientHeight).top - gap;
    return inPage && clearOfGear && clearOfCard;
}

PixelBox statusCardArea(int clientWidth, int clientHeight) {
    return {panelWidth() + 2, statusCardBox(clientWidth, clientHeight).top - 2, clientWidth,
            clientHeight};
}

bool statusCardStandsAlone(int clientWidth, int clientHeight) {
    // The card's edge two pixels inside the band.
    return haloAreaStandsAlone(clientWidth, clientHeight) &&
           statusCardBox(clientWidth, clientHeight).left - 2 >= panelWidth() + 2;
}

namespace {

std::size_t rowCount() {
    const auto list = currentLocations();
    return list ? list->size() : 0;
}

// The scroll that shows row whole (or as much as the window can).
void scrollIntoView(int row, int clientHeight) {
    const std::size_t count = rowCount();
    int first = firstRowShown(count, clientHeight);
    const int whole = std::max(rowsWholeWithin(clientHeight), 1);
    if (row < first) first = row;
    if (row >= first + whole) first = row - whole + 1;
    view.firstRow = std::clamp(first, 0, lastFirstRow(count, clientHeight));
}

void moveFocus(PressEffects& effects, Focus to) {
    if (view.focus != to) effects.focusMoved = true;
    view.focus = to;
    effects.repaint = effects.repaint || effects.focusMoved;
}

// A row chosen by a press or a key: a change while connected ends the
// connection (the new row is not connected to; the user starts again).
void selectRow(PressEffects& effects, int row, int clientHeight) {
    const ConnectionState before = appState.connectionState.load();
    const int was = appState.selectedIndex.exchange(row);
    effects.selectionMoved = was != row;
    effects.toggleConnection = before == Connected;
    effects.repaint = true;
    scrollIntoView(row, clientHeight);
}

void showSettings(PressEffects& effects, bool shown) {
    view.settingsPageShown = shown;
    effects.repaint = true;
    moveFocus(effects, shown ? Focus::KillSwitch : Focus::Gear);
    effects.focusMoved = true; // the page's elements are others
}

template <class Preference> void flip(PressEffects& effects, Preference& preference) {
    preference = !preference;
    effects.saveSettings = true;
    effects.repaint = true;
}

} // namespace

PressEffects pressAt(int x, int y, int clientWidth, int clientHeight) {
    PressEffects effects;
    AppState& s = appState;
    if (x < panelWidth()) {
        const int row = hitTestRow(y, clientHeight);
        if (row < 0) return effects;
        // A row press never connects; it only ends a running connection,
        // also when the row is the one already chosen.
        selectRow(effects, row, clientHeight);
        if (!view.settingsPageShown) moveFocus(effects, Focus::List);
        return effects;
    }
    if (!view.settingsPageShown) {
        if (inGearIcon(x, y, clientWidth)) showSettings(effects, true);
        // The toggle asks for its own repaint when the state changes.
        if (inConnectButton(x, y, clientWidth, clientHeight)) {
            effects.toggleConnection = true;
            moveFocus(effects, Focus::Button);
        }
        return effects;
    }
    if (inBackButton(x, y, clientHeight)) showSettings(effects, false);
    if (inKillSwitchToggle(x, y, clientWidth)) {
        flip(effects, s.killSwitchEnabled);
        if (view.settingsPageShown) moveFocus(effects, Focus::KillSwitch);
    }
    if (inAutostartToggle(x, y, clientWidth)) {
        flip(effects, s.autostartEnabled);
        if (view.settingsPageShown) moveFocus(effects, Focus::Autostart);
    }
    return effects;
}

PressEffects keyPressed(Key key, int clientHeight) {
    PressEffects effects;
    AppState& s = appState;
    const bool settings = view.settingsPageShown;
    // The focus of the other page (a page changed by a press) starts at its first.
    const bool onSettings = view.focus >= Focus::KillSwitch;
    if (settings != onSettings) view.focus = settings ? Focus::KillSwitch : Focus::List;
    const int first = settings ? static_cast<int>(Focus::KillSwitch) : 0;
    const int at = static_cast<int>(view.focus) - first;
    switch (key) {
    case Key::Tab:
    case Key::BackTab:
        moveFocus(effects, static_cast<Focus>(first + (at + (key == Key::Tab ? 1 : 2)) % 3));
        return effects;
    case Key::Escape:
        if (settings) showSettings(effects, false);
        return effects;
    case Key::Enter:
    case Key::Space:
        switch (view.focus) {
        case Focus::List:
        case Focus::Button:
            effects.toggleConnection = true;
            break;
        case Focus::Gear:
            showSettings(effects, true);
            break;
        case Focus::KillSwitch:
            flip(effects, s.killSwitchEnabled);
            break;
        case Focus::Autostart:
            flip(effects, s.autostartEnabled);
            break;
        case Focus::Back:
            showSettings(effects, false);
            break;
        }
        return effects;
    default:
        break;
    }
    // The rest move the selection in the list, from the main page.
    const int count = static_cast<int>(rowCount());
    if (settings || count == 0) return effects;
    const int page = std::max(rowsWholeWithin(clientHeight) - 1, 1);
    const int current = std::clamp(s.selectedIndex.load(), 0, count - 1);
    int next = current;
    switch (key) {
    case Key::Up:
        next = current - 1;
        break;
    case Key::Down:
        next = current + 1;
        break;
    case Key::Home:
        next = 0;
        break;
    case Key::End:
        next = count - 1;
        break;
    case Key::PageUp:
        next = current - page;
        break;
    case Key::PageDown:
        next = current + page;
        break;
    default:
        break;
    }
    next = std::clamp(next, 0, count - 1);
    moveFocus(effects, Focus::List);
    if (next != s.selectedIndex.load()) selectRow(effects, next, clientHeight);
    return effects;
}

bool wheelTurned(int delta, int clientHeight) {
    view.wheelRest += delta;
    const int rows = view.wheelRest / 120;
    view.wheelRest -= rows * 120;
    const std::size_t count = rowCount();
    const int before = firstRowShown(count, clientHeight);
    view.firstRow = std::clamp(before - rows, 0, lastFirstRow(count, clientHeight));
    if (view.firstRow == before) return false;
    // The rows move under a still pointer.
    if (view.pointerX >= 0 && view.pointerX < panelWidth())
        view.hoveredIndex = hitTestRow(view.pointerY, clientHeight);
    return true;
}

bool pointerMovedTo(int x, int y, int clientHeight) {
    view.pointerX = x;
    view.pointerY = y;
    const int row = x >= panelWidth() ? -1 : hitTestRow(y, clientHeight);
    if (row == view.hoveredIndex) return false;
    view.hoveredIndex = row;
    return true;
}
