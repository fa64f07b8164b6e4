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
        if (inGearIcon(x, y, clientWidth)) s.settingsPageShown = 1;
        if (inConnectButton(x, y, clientWidth, clientHeight)) effects.toggleConnection = true;
        return effects;
    }
    if (inBackButton(x, y, clientHeight)) s.settingsPageShown = 0;
    if (inKillSwitchToggle(x, y, clientWidth)) {
        s.killSwitchEnabled = !s.killSwitchEnabled;
        effects.saveSettings = true;
    }
    if (inAutostartToggle(x, y, clientWidth)) {
        s.autostartEnabled = !s.autostartEnabled;
        effects.saveSettings = true;
    }
    return effects;
}

void pointerMovedTo(int x, int y) {
    appState.hoveredIndex = x >= listPanelWidth ? -1 : hitTestRow(y);
}
