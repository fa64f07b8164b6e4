// A frame drawn from nothing, the buffer frames are drawn into, and the
// painter that keeps, as pixels, what stays from one frame to the next.
#include "ui/frame_win.h"

#include <algorithm>
#include <memory>

void drawFrame(GpGraphics* graphics, DrawingKit& kit, int clientWidth, int clientHeight,
               ConnectionState state) {
    kit.fitDpi();
    const ElementTable& table = windowElements(clientWidth, clientHeight, state);
    drawPanelBackdrop(graphics, kit, table);
    for (const Element& row : table.rows())
        if (row.shown()) drawPanelRow(graphics, kit, row, table.locationOf(row));
    drawScrollIndicator(graphics, kit, table.rows().size(), clientHeight);
    fillPageBackground(graphics, clientWidth - panelWidth(), clientHeight);
    if (table.scene.settingsPageShown) {
        drawSettingsContent(graphics, kit, table);
    } else {
        const Element* gear = table.find(Part::Gear);
        const Element* button = table.find(Part::Button);
        if (gear) drawGear(graphics, kit, *gear);
        if (button) {
            drawConnectButton(graphics, kit, *button, state);
            drawButtonFocus(graphics, kit, *button);
        }
        drawStatusCard(graphics, kit, clientWidth, clientHeight, state);
    }
    drawFocusRing(graphics, kit, table);
}

bool BackBuffer::fit(HDC reference, int width, int height) {
    if (memoryDc && size.cx == width && size.cy == height) return false;
    release();
    if (width <= 0 || height <= 0) return false;
    memoryDc = CreateCompatibleDC(reference);
    scratch = CreateCompatibleDC(reference);
    bitmap = reference ? CreateCompatibleBitmap(reference, width, height)
                       : CreateBitmap(width, height, 1, 32, nullptr);
    if (!memoryDc || !scratch || !bitmap) {
        release();
        return false;
    }
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
    if (scratch) DeleteDC(scratch);
    // Deleted last: by now it is selected into no context.
    if (bitmap) DeleteObject(bitmap);
    context = nullptr;
    previous = nullptr;
    memoryDc = nullptr;
    scratch = nullptr;
    bitmap = nullptr;
    size = {0, 0};
}

void BackBuffer::flush() {
    if (context) gdip::GdipFlush(context, Gdiplus::FlushIntentionSync);
    GdiFlush();
}

void BackBuffer::fill(const PixelBox& box, bool white) {
    flush();
    PatBlt(memoryDc, box.left, box.top, box.right - box.left, box.bottom - box.top,
           white ? WHITENESS : BLACKNESS);
}

std::vector<std::uint32_t> BackBuffer::colours(const PixelBox& box) {
    // Copied into a DIB section, whose bits can be read.
    const int w = box.right - box.left;
    const int h = box.bottom - box.top;
    std::vector<std::uint32_t> result;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h; // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP copy = CreateDIBSection(memoryDc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!copy) return result;
    flush();
    const HGDIOBJ old = SelectObject(scratch, copy);
    BitBlt(scratch, 0, 0, w, h, memoryDc, box.left, box.top, SRCCOPY);
    GdiFlush();
    const auto* pixels = static_cast<const std::uint32_t*>(bits);
    result.assign(pixels, pixels + static_cast<std::size_t>(w) * h);
    for (std::uint32_t& p : result)
        p &= 0xFFFFFF; // the alpha byte is not shown
    SelectObject(scratch, old);
    DeleteObject(copy);
    return result;
}

namespace {

// The box within the buffer; empty when they do not meet.
PixelBox within(const PixelBox& box, int width, int height) {
    PixelBox b = {std::max(box.left, 0), std::max(box.top, 0), std::min(box.right, width),
                  std::min(box.bottom, height)};
    if (b.left >= b.right || b.top >= b.bottom) b = {0, 0, 0, 0};
    return b;
}

} // namespace

SavedPixels::SavedPixels(BackBuffer& buffer, const PixelBox& wanted)
    : box(within(wanted, buffer.width(), buffer.height())) {
    const int w = box.right - box.left;
    const int h = box.bottom - box.top;
    if (w <= 0 || h <= 0) return;
    // Compatible with the buffer's context, so of the buffer's own format.
    bitmap = CreateCompatibleBitmap(buffer.dc(), w, h);
    if (!bitmap) return;
    buffer.flush();
    const HGDIOBJ old = SelectObject(buffer.scratchDc(), bitmap);
    BitBlt(buffer.scratchDc(), 0, 0, w, h, buffer.dc(), box.left, box.top, SRCCOPY);
    SelectObject(buffer.scratchDc(), old);
}

void SavedPixels::restore(BackBuffer& buffer, const PixelBox& part) const {
    if (!bitmap) return;
    const PixelBox b = within({std::max(box.left, part.left), std::max(box.top, part.top),
                               std::min(box.right, part.right), std::min(box.bottom, part.bottom)},
                              buffer.width(), buffer.height());
    buffer.flush();
    const HGDIOBJ old = SelectObject(buffer.scratchDc(), bitmap);
    BitBlt(buffer.dc(), b.left, b.top, b.right - b.left, b.bottom - b.top, buffer.scratchDc(),
           b.left - box.left, b.top - box.top, SRCCOPY);
    SelectObject(buffer.scratchDc(), old);
}

const SavedPixels* KeptPictures::find(int key) const {
    for (const auto& [k, pixels] : kept)
        if (k == key) return &pixels;
    return nullptr;
}

template <class Draw>
void FramePainter::paintKept(BackBuffer& buffer, KeptPictures& pictures, int key,
                             const PixelBox& box, Draw draw) {
    if (const SavedPixels* picture = pictures.find(key)) {
        picture->restore(buffer);
        return;
    }
    draw();
    if (keeping) pictures.keep(key, SavedPixels(buffer, box));
}

bool FramePainter::forgetOtherSizes(const BackBuffer& buffer) {
    kit.fitDpi();
    if (size.cx == buffer.width() && size.cy == buffer.height() && dpi == view.dpi) return false;
    size = {buffer.width(), buffer.height()};
    dpi = view.dpi;
    backdrop.clear();
    pageBackground = {};
    rows.clear();
    halo.clear();
    card.clear();
    settings.clear();
    return true;
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
        const PixelBox page = {panelWidth(), 0, panelWidth() + side, side};
        if (probe.fit(nullptr, panelWidth() + side, side)) {
            probe.fill(page, false);
            fillPageBackground(probe.graphics(), side, side);
            const std::vector<std::uint32_t> overBlack = probe.colours(page);
            probe.fill(page, true);
            fillPageBackground(probe.graphics(), side, side);
            covers = !overBlack.empty() && probe.colours(page) == overBlack;
        }
    }
    return covers > 0;
}

void FramePainter::paintRows(BackBuffer& buffer, const ElementTable& table) {
    // One snapshot for the whole panel: a catalogue swapped in meanwhile is
    // drawn at the next paint, never half.
    const auto& list = table.scene.rows;
    // A scrolled list shows its rows at other places.
    if (list != rowsOf || table.scene.firstRow != rowsFirst) {
        rows.clear();
        rowsOf = list;
        rowsFirst = table.scene.firstRow;
    }
    // A row draws only within its band of the panel and the gap below, over
    // the backdrop; what it draws right of the panel the page covers.
    for (const Element& row : table.rows()) {
        if (!row.shown()) continue;
        const int look = row.selected ? 2 : row.hovered;
        const PixelBox slot = {0, row.box.top, panelWidth(), row.box.top + px(rowPitch)};
        paintKept(buffer, rows, row.row * 3 + look, slot,
                  [&] { drawPanelRow(buffer.graphics(), kit, row, table.locationOf(row)); });
    }
    drawScrollIndicator(buffer.graphics(), kit, table.rows().size(), buffer.height());
}

void FramePainter::paintFrame(BackBuffer& buffer, ConnectionState state) {
    GpGraphics* graphics = buffer.graphics();
    if (!graphics) return;
    const int clientWidth = buffer.width();
    const int clientHeight = buffer.height();
    const int width = clientWidth - panelWidth();
    // While the window is being resized each size is painted once: pictures
    // are kept from a size's second frame on, but for the page's gradient,
    // which the halo's pictures copy.
    keeping = !forgetOtherSizes(buffer);
    const ElementTable& table = windowElements(clientWidth, clientHeight, state);

    // Every frame starts from a cleared buffer with the backdrop drawn on it,
    // which depends on the height alone.
    const PixelBox all = {0, 0, clientWidth, clientHeight};
    paintKept(buffer, backdrop, 0, all, [&] {
        buffer.fill(all, false);
        drawPanelBackdrop(graphics, kit, table);
    });
    paintRows(buffer, table);
    const PixelBox page = {panelWidth(), 0, clientWidth, clientHeight};
    if (!pageBackground.empty()) {
        pageBackground.restore(buffer);
    } else {
        fillPageBackground(graphics, width, clientHeight);
        if (width > 0 && gradientCovers()) pageBackground = SavedPixels(buffer, page);
    }
    if (table.scene.settingsPageShown) {
        // Nothing else is drawn on the page then; with a gradient that covers
        // what is under it, the page's picture depends on the switches only.
        if (pageBackground.empty()) {
            drawSettingsContent(graphics, kit, table);
        } else {
            const int look = table.scene.killSwitch * 2 + table.scene.autostart;
            if (!settings.find(look)) settings.clear();
            paintKept(buffer, settings, look, page,
                      [&] { drawSettingsContent(graphics, kit, table); });
        }
        drawFocusRing(graphics, kit, table);
        return;
    }

    if (const Element* gear = table.find(Part::Gear)) drawGear(graphics, kit, *gear);
    const Element* button = table.find(Part::Button);
    if (haloAreaStandsAlone(table)) {
        paintHalo(buffer, table, state);
    } else if (button) {
        drawConnectButton(graphics, kit, *button, state);
        drawButtonFocus(graphics, kit, *button);
    }
    if (statusCardStandsAlone(table)) {
        paintKept(buffer, card, state, statusCardArea(table),
                  [&] { drawStatusCard(graphics, kit, clientWidth, clientHeight, state); });
    } else {
        drawStatusCard(graphics, kit, clientWidth, clientHeight, state);
    }
    drawFocusRing(graphics, kit, table);
}

void FramePainter::paintHaloArea(BackBuffer& buffer, ConnectionState state) {
    if (!buffer.graphics()) return;
    keeping = !forgetOtherSizes(buffer);
    paintHalo(buffer, windowElements(buffer.width(), buffer.height(), state), state);
}

void FramePainter::paintHalo(BackBuffer& buffer, const ElementTable& table, ConnectionState state) {
    const Element* button = table.find(Part::Button);
    if (!button) return;
    GpGraphics* graphics = buffer.graphics();
    const bool haloShown = state == Connecting || state == Connected;
    const int diameter = haloShown ? haloSize(view.pulsePhase).diameter : 0;
    if (state != haloState) {
        halo.clear();
        haloState = state;
    }
    const PixelBox a = haloArea(table);
    paintKept(buffer, halo, diameter, a, [&] {
        // Only the page's gradient lies under the button there. Wine rounds
        // a gradient's rows by the box it fills, so the gradient is copied
        // from the page's pixels, or else filled whole through the clip.
        gdip::GdipSetClipRectI(graphics, a.left, a.top, a.right - a.left, a.bottom - a.top,
                               Gdiplus::CombineModeReplace);
        if (pageBackground.empty()) {
            fillPageBackground(graphics, buffer.width() - panelWidth(), buffer.height());
        } else {
            pageBackground.restore(buffer, a);
        }
        drawConnectButton(graphics, kit, *button, state);
        gdip::GdipResetClip(graphics);
    });
    // Never kept: it comes and goes with the keyboard.
    drawButtonFocus(graphics, kit, *button);
}
