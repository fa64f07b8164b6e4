// The server list panel: the left 260 pixels of the window.
#include "api/http.h"
#include "core/countries.h"
#include "ui/draw_win.h"
#include "ui/layout.h"

namespace {

// Fixed subtitle by exact two-byte code; the figures are part of the text.
const char* subtitleFor(const std::string& code) {
    const Country* country = findCountry(code);
    return country ? country->subtitle : autoSubtitle;
}

} // namespace

void drawPanelRow(GpGraphics* graphics, DrawingKit& kit, const Location& location, int index) {
    const int y = rowTop(index);
    const bool selected = index == appState.selectedIndex.load();
    if (selected) {
        // Its box moves with the row, so this brush is made per frame.
        GradientBrush fill = makeGradientBrush(10, y, 240, rowHeight, 0xFF1E2337, 0xFF191E30,
                                               Gdiplus::LinearGradientModeVertical);
        fillRoundedRect(graphics, fill.get(), 10, y, 240, rowHeight, 6);
        fillRoundedRect(graphics, kit.solid(Palette::accent), 10, y + 12, 3, 26, 2);
    } else if (index == appState.hoveredIndex) {
        fillRoundedRect(graphics, kit.solid(0x14FFFFFF), 10, y, 240, rowHeight, 6);
    }
    drawFlag(graphics, kit, location, 25, y + 15);
    drawText(graphics, location.displayName, kit.rowTitleFont, 65.0f, static_cast<float>(y + 8),
             kit.solid(selected ? Palette::textPrimary : Palette::textSecondary));
    drawText(graphics, utf8ToWide(subtitleFor(location.code)), kit.rowSubtitleFont, 65.0f,
             static_cast<float>(y + 28), kit.solid(0xB49196A0));
}

void drawPanelBackdrop(GpGraphics* graphics, DrawingKit& kit, int height) {
    if (GpBrush* background = kit.solid(Palette::panelBackground))
        gdip::GdipFillRectangleI(graphics, background, 0, 0, listPanelWidth, height);
    // Its box follows the window's height, so this brush is made per frame.
    GradientBrush edge = makeGradientBrush(250, 0, 10, height, 0x00000000, 0x28000000,
                                           Gdiplus::LinearGradientModeHorizontal);
    if (edge.get()) gdip::GdipFillRectangleI(graphics, edge.get(), 250, 0, 10, height);

    drawText(graphics, L"Sovelin", kit.headerFont, 22.0f, 22.0f, kit.solid(0x64000000));
    drawText(graphics, L"Sovelin", kit.headerFont, 20.0f, 20.0f, kit.solid(Palette::textPrimary));
    drawText(graphics, utf8ToWide("СЕРВЕРЫ"), kit.sectionFont, 20.0f, 65.0f,
             kit.solid(Palette::textSecondary));
}
