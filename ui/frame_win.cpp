// A frame drawn from nothing, the buffer frames are drawn into, and the
// painter that keeps, as pixels, what stays from one frame to the next.
#include "ui/frame_win.h"

#include <algorithm>
#include <cstring>
#include <memory>

void drawFrame(GpGraphics* graphics, DrawingKit& kit, int clientWidth, int clientHeight,
               ConnectionState state) {
    const int width = clientWidth - listPanelWidth;
    drawPanelBackdrop(graphics, kit, clientHeight);
    const auto list = currentLocations();
    for (std::size_t i = 0; list && i < list->size(); ++i)
        drawPanelRow(graphics, kit, (*list)[i], static_cast<int>(i));
    fillPageBackground(graphics, width, clientHeight);
    if (appState.settingsPageShown) {
        drawSettingsContent(graphics, kit, width, clientHeight);
        return;
    }
    drawGear(graphics, kit, width);
    drawConnectButton(graphics, kit, clientWidth, clientHeight, state);
    drawStatusCard(graphics, kit, clientWidth, clientHeight, state);
}

bool BackBuffer::fit(int width, int height) {
    if (memoryDc && size.cx == width && size.cy == height) return false;
    release();
    if (width <= 0 || height <= 0) return false;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    memoryDc = CreateCompatibleDC(nullptr);
    void* data = nullptr;
    bitmap =
        memoryDc ? CreateDIBSection(memoryDc, &info, DIB_RGB_COLORS, &data, nullptr, 0) : nullptr;
    if (!bitmap) {
        release();
        return false;
    }
    bits = static_cast<std::uint32_t*>(data);
    previous = SelectObject(memoryDc, bitmap);
    if (gdip::GdipCreateFromHDC(memoryDc, &context) != Gdiplus::Ok) {
        release();
        return false;
    }
    gdip::GdipSetSmoothingMode(context, Gdiplus::SmoothingModeAntiAlias);
    gdip::GdipSetTextRenderingHint(context, Gdiplus::TextRenderingHintClearTypeGridFit);
    size = {width, height};
    return true;
}

void BackBuffer::release() {
    if (context) gdip::GdipDeleteGraphics(context);
    if (previous) SelectObject(memoryDc, previous);
    if (memoryDc) DeleteDC(memoryDc);
    // Deleted last: by now it is selected into no context.
    if (bitmap) DeleteObject(bitmap);
    context = nullptr;
    previous = nullptr;
    memoryDc = nullptr;
    bitmap = nullptr;
    bits = nullptr;
    size = {0, 0};
}

void BackBuffer::flush() {
    if (context) gdip::GdipFlush(context, Gdiplus::FlushIntentionSync);
    GdiFlush();
}

void BackBuffer::fill(const PixelBox& box, std::uint32_t colour) {
    flush();
    for (int y = box.top; y < box.bottom; ++y)
        std::fill(bits + y * size.cx + box.left, bits + y * size.cx + box.right, colour);
}

namespace {

// The box within the buffer; empty when they do not meet.
PixelBox within(const PixelBox& box, int width, int height) {
    PixelBox b = {std::max(box.left, 0), std::max(box.top, 0), std::min(box.right, width),
                  std::min(box.bottom, height)};
    if (b.left >= b.right || b.top >= b.bottom) b = {0, 0, 0, 0};
    return b;
}

SavedPixels save(BackBuffer& buffer, const PixelBox& box) {
    SavedPixels saved;
    saved.box = within(box, buffer.width(), buffer.height());
    const PixelBox& b = saved.box;
    const int rowLength = b.right - b.left;
    buffer.flush();
    saved.data.resize(static_cast<std::size_t>(rowLength) * (b.bottom - b.top));
    for (int y = b.top; y < b.bottom; ++y) {
        std::memcpy(saved.data.data() + static_cast<std::size_t>(y - b.top) * rowLength,
                    buffer.pixels() + y * buffer.width() + b.left, rowLength * 4);
    }
    return saved;
}

// Copies back the part of the saved box that lies in part.
void restore(BackBuffer& buffer, const SavedPixels& saved, const PixelBox& part) {
    const PixelBox& s = saved.box;
    const PixelBox b = within({std::max(s.left, part.left), std::max(s.top, part.top),
                               std::min(s.right, part.right), std::min(s.bottom, part.bottom)},
                              buffer.width(), buffer.height());
    buffer.flush();
    for (int y = b.top; y < b.bottom; ++y) {
        std::memcpy(buffer.pixels() + y * buffer.width() + b.left,
                    saved.data.data() + static_cast<std::size_t>(y - s.top) * (s.right - s.left) +
                        (b.left - s.left),
                    (b.right - b.left) * 4);
    }
}

void restore(BackBuffer& buffer, const SavedPixels& saved) {
    restore(buffer, saved, saved.box);
}

// Equal as shown: the alpha byte of a window's pixel is not.
bool sameColours(BackBuffer& buffer, const SavedPixels& saved) {
    const PixelBox& b = saved.box;
    const int rowLength = b.right - b.left;
    buffer.flush();
    for (int y = b.top; y < b.bottom; ++y) {
        const std::uint32_t* row = buffer.pixels() + y * buffer.width() + b.left;
        const std::uint32_t* kept =
            saved.data.data() + static_cast<std::size_t>(y - b.top) * rowLength;
        for (int x = 0; x < rowLength; ++x)
            if ((row[x] ^ kept[x]) & 0x00FFFFFF) return false;
    }
    return true;
}

} // namespace

const SavedPixels* KeptPictures::find(int key) const {
    for (const auto& [k, pixels] : kept)
        if (k == key) return &pixels;
    return nullptr;
}

template <class Draw>
void FramePainter::paintKept(BackBuffer& buffer, KeptPictures& pictures, int key,
                             const PixelBox& box, Draw draw) {
    if (const SavedPixels* picture = pictures.find(key)) {
        restore(buffer, *picture);
        return;
    }
    draw();
    pictures.keep(key, save(buffer, box));
}

void FramePainter::forgetOtherSizes(const BackBuffer& buffer) {
    if (size.cx == buffer.width() && size.cy == buffer.height()) return;
    size = {buffer.width(), buffer.height()};
    backdrop = {};
    pageBackground = {};
    rows.clear();
    halo.clear();
    card.clear();
    settings.clear();
}

bool FramePainter::gradientCovers() {
    // Drawn over black and over white: where both give the same colours, the
    // gradient covers whatever lies under it, and its pixels can be copied.
    // A property of the renderer (Wine fills without smoothing, Windows
    // smooths the edges), so a small page is enough.
    if (covers < 0) {
        covers = 0;
        BackBuffer probe;
        constexpr int side = 40;
        const PixelBox page = {listPanelWidth, 0, listPanelWidth + side, side};
        if (probe.fit(listPanelWidth + side, side)) {
            probe.fill(page, 0x00000000);
            fillPageBackground(probe.graphics(), side, side);
            const SavedPixels overBlack = save(probe, page);
            probe.fill(page, 0xFFFFFFFF);
            fillPageBackground(probe.graphics(), side, side);
            covers = sameColours(probe, overBlack);
        }
    }
    return covers > 0;
}

void FramePainter::paintRows(BackBuffer& buffer) {
    // One snapshot for the whole panel: a catalogue swapped in meanwhile is
    // drawn at the next paint, never half.
    const auto list = currentLocations();
    if (list != rowsOf) {
        rows.clear();
        rowsOf = list;
    }
    if (!list) return;
    // A row draws only within its band of the panel, over the backdrop; what
    // it draws right of the panel the page covers.
    for (int i = 0; i < static_cast<int>(list->size()) && rowTop(i) < buffer.height(); ++i) {
        const int look = i == appState.selectedIndex.load() ? 2 : i == appState.hoveredIndex;
        paintKept(buffer, rows, i * 3 + look, {0, rowTop(i), listPanelWidth, rowTop(i + 1)},
                  [&] { drawPanelRow(buffer.graphics(), kit, (*list)[i], i); });
    }
}

void FramePainter::paintFrame(BackBuffer& buffer, ConnectionState state) {
    GpGraphics* graphics = buffer.graphics();
    if (!graphics) return;
    forgetOtherSizes(buffer);
    const int clientWidth = buffer.width();
    const int clientHeight = buffer.height();
    const int width = clientWidth - listPanelWidth;

    // Every frame starts from a cleared buffer with the backdrop drawn on it,
    // which depends on the height alone.
    if (backdrop.data.empty()) {
        buffer.fill({0, 0, clientWidth, clientHeight}, 0);
        drawPanelBackdrop(graphics, kit, clientHeight);
        backdrop = save(buffer, {0, 0, clientWidth, clientHeight});
    } else {
        restore(buffer, backdrop);
    }
    paintRows(buffer);
    const PixelBox page = {listPanelWidth, 0, clientWidth, clientHeight};
    if (!pageBackground.data.empty()) {
        restore(buffer, pageBackground);
    } else {
        fillPageBackground(graphics, width, clientHeight);
        if (width > 0 && gradientCovers()) pageBackground = save(buffer, page);
    }
    if (appState.settingsPageShown) {
        // Nothing else is drawn on the page then; with a gradient that covers
        // what is under it, the page's picture depends on the switches only.
        if (pageBackground.data.empty()) {
            drawSettingsContent(graphics, kit, width, clientHeight);
            return;
        }
        const int look = appState.killSwitchEnabled * 2 + appState.autostartEnabled;
        if (!settings.find(look)) settings.clear();
        paintKept(buffer, settings, look, page,
                  [&] { drawSettingsContent(graphics, kit, width, clientHeight); });
        return;
    }

    drawGear(graphics, kit, width);
    if (haloAreaStandsAlone(clientWidth, clientHeight)) {
        paintHaloArea(buffer, state);
    } else {
        drawConnectButton(graphics, kit, clientWidth, clientHeight, state);
    }
    if (statusCardStandsAlone(clientWidth, clientHeight)) {
        paintKept(buffer, card, state, statusCardArea(clientWidth, clientHeight),
                  [&] { drawStatusCard(graphics, kit, clientWidth, clientHeight, state); });
    } else {
        drawStatusCard(graphics, kit, clientWidth, clientHeight, state);
    }
}

void FramePainter::paintHaloArea(BackBuffer& buffer, ConnectionState state) {
    GpGraphics* graphics = buffer.graphics();
    if (!graphics) return;
    forgetOtherSizes(buffer);
    const bool haloShown = state == Connecting || state == Connected;
    const int diameter = haloShown ? haloSize(appState.pulsePhase).diameter : 0;
    if (state != haloState) {
        halo.clear();
        haloState = state;
    }
    const PixelBox a = haloArea(buffer.width(), buffer.height());
    paintKept(buffer, halo, diameter, a, [&] {
        // Only the page's gradient lies under the button there. Wine rounds
        // a gradient's rows by the box it fills, so the gradient is copied
        // from the page's pixels, or else filled whole through the clip.
        gdip::GdipSetClipRectI(graphics, a.left, a.top, a.right - a.left, a.bottom - a.top,
                               Gdiplus::CombineModeReplace);
        if (pageBackground.data.empty()) {
            fillPageBackground(graphics, buffer.width() - listPanelWidth, buffer.height());
        } else {
            restore(buffer, pageBackground, a);
        }
        drawConnectButton(graphics, kit, buffer.width(), buffer.height(), state);
        gdip::GdipResetClip(graphics);
    });
}
