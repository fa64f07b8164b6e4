#include "ui/layout.h"

#include <algorithm>
#include <cmath>
#include <numbers>

ViewState view;

int px(int length) {
    if (view.dpi == designDpi) return length;
    return static_cast<int>(std::lround(static_cast<double>(length) * view.dpi / designDpi));
}

int span(int from, int to) {
    return px(to) - px(from);
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

PageCentre centreOf(const PixelBox& box) {
    return {box.left + (box.right - box.left) / 2, box.top + (box.bottom - box.top) / 2};
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

PixelBox statusCardBox(int clientWidth, int clientHeight) {
    const PageCentre c = pageCentre(clientWidth, clientHeight);
    return {c.x - px(150), clientHeight - px(120), c.x + px(150), clientHeight - px(40)};
}
