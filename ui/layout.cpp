#include "ui/layout.h"

#include "core/state.h"

#include <cmath>
#include <numbers>

PageCentre pageCentre(int clientWidth, int clientHeight) {
    return {listPanelWidth + (clientWidth - listPanelWidth) / 2, clientHeight / 2};
}

int rowAt(int y, std::size_t rowCount) {
    if (y < rowTopFirst) return -1;
    const int offset = y - rowTopFirst;
    const int k = offset / rowPitch;
    if (offset - k * rowPitch > rowHeight) return -1; // in the gap below row k
    if (static_cast<std::size_t>(k) >= rowCount) return -1;
    return k;
}

int hitTestRow(int y) {
    const auto list = currentLocations();
    return rowAt(y, list ? list->size() : 0);
}

bool inConnectButton(int x, int y, int clientWidth, int clientHeight) {
    const PageCentre c = pageCentre(clientWidth, clientHeight);
    // 64-bit: a far corner of a huge window must not overflow the square.
    const std::int64_t dx = x - c.x;
    const std::int64_t dy = y - c.y;
    return dx * dx + dy * dy < std::int64_t{buttonRadius} * buttonRadius;
}

bool inGearIcon(int x, int y, int clientWidth) {
    return x > clientWidth - 62 && y >= 31 && y <= 61;
}

bool inBackButton(int x, int y, int clientHeight) {
    return y > clientHeight - 80 && x >= 301 && x <= 419;
}

bool inKillSwitchToggle(int x, int y, int clientWidth) {
    return y >= 101 && y <= 159 && x > clientWidth - 90;
}

bool inAutostartToggle(int x, int y, int clientWidth) {
    return y >= 181 && y <= 239 && x > clientWidth - 90;
}

float advancePulsePhase(float phase) {
    constexpr float turn = 2.0f * std::numbers::pi_v<float>;
    float next = std::fmod(phase + 0.08f, turn);
    if (!(next >= 0.0f && next < turn)) next = 0.0f; // NaN, or a negative start
    return next;
}

HaloSize haloSize(float phase) {
    const float scale = static_cast<float>(std::sin(static_cast<double>(phase)) * 0.05 + 1.0);
    return {static_cast<int>(scale * 180.0f), static_cast<int>(scale * 90.0f)};
}

PixelBox gearTileBox(int clientWidth) {
    return {clientWidth - 50, 30, clientWidth - 18, 62};
}

PixelBox statusCardBox(int clientWidth, int clientHeight) {
    const PageCentre c = pageCentre(clientWidth, clientHeight);
    return {c.x - 150, clientHeight - 120, c.x + 150, clientHeight - 40};
}

PixelBox haloArea(int clientWidth, int clientHeight) {
    constexpr int reach = buttonRadius + 10;
    const PageCentre c = pageCentre(clientWidth, clientHeight);
    return {c.x - reach, c.y - reach, c.x + reach, c.y + reach};
}

bool haloAreaStandsAlone(int clientWidth, int clientHeight) {
    const PixelBox a = haloArea(clientWidth, clientHeight);
    // Two pixels off every other shape: anti-aliased edges spill into one.
    constexpr int gap = 2;
    const bool inPage = a.left >= listPanelWidth + gap && a.top >= gap &&
                        a.right <= clientWidth - gap && a.bottom <= clientHeight - gap;
    const PixelBox gear = gearTileBox(clientWidth);
    const bool clearOfGear = a.right <= gear.left - gap || a.top >= gear.bottom + gap;
    // The card is wider than the area, so only its top matters.
    const bool clearOfCard = a.bottom <= statusCardBox(clientWidth, clientHeight).top - gap;
    return inPage && clearOfGear && clearOfCard;
}

PixelBox statusCardArea(int clientWidth, int clientHeight) {
    return {listPanelWidth + 2, statusCardBox(clientWidth, clientHeight).top - 2, clientWidth,
            clientHeight};
}

bool statusCardStandsAlone(int clientWidth, int clientHeight) {
    // The card's edge two pixels inside the band.
    return haloAreaStandsAlone(clientWidth, clientHeight) &&
           statusCardBox(clientWidth, clientHeight).left - 2 >= listPanelWidth + 2;
}

PressEffects pressAt(int x, int y, int clientWidth, int clientHeight) {
    PressEffects effects;
    AppState& s = appState;
    if (x < listPanelWidth) {
        const int row = hitTestRow(y);
        if (row < 0) return effects;
        const ConnectionState before = s.connectionState.load();
        s.selectedIndex.store(row);
        // A row press never connects; it only ends a running connection.
        effects.toggleConnection = before == Connected;
        effects.repaint = true;
        return effects;
    }
    if (!s.settingsPageShown) {
        if (inGearIcon(x, y, clientWidth)) {
            s.settingsPageShown = 1;
            effects.repaint = true;
        }
        // The toggle asks for its own repaint when the state changes.
        if (inConnectButton(x, y, clientWidth, clientHeight)) effects.toggleConnection = true;
        return effects;
    }
    if (inBackButton(x, y, clientHeight)) {
        s.settingsPageShown = 0;
        effects.repaint = true;
    }
    if (inKillSwitchToggle(x, y, clientWidth)) {
        s.killSwitchEnabled = !s.killSwitchEnabled;
        effects.saveSettings = true;
    }
    if (inAutostartToggle(x, y, clientWidth)) {
        s.autostartEnabled = !s.autostartEnabled;
        effects.saveSettings = true;
    }
    effects.repaint = effects.repaint || effects.saveSettings;
    return effects;
}

bool pointerMovedTo(int x, int y) {
    const int row = x >= listPanelWidth ? -1 : hitTestRow(y);
    if (row == appState.hoveredIndex) return false;
    appState.hoveredIndex = row;
    return true;
}
