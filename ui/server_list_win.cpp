// The server list panel: the left 260 pixels of the window (at 96 DPI).
#include "core/text.h"
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

void drawPanelRow(GpGraphics* graphics, DrawingKit& kit, const Location& location, int index,
                  int place) {
    const int y = rowTop(place);
    const int h = rowBandHeight();
    const bool selected = index == appState.selectedIndex.load();
    if (selected) {
        // Its box moves with the row, so this brush is made per frame.
        GradientBrush fill = makeGradientBrush(px(10), y, px(240), h, 0xFF1E2337, 0xFF191E30,
                                               Gdiplus::LinearGradientModeVertical);
        fillRoundedRect(graphics, fill.get(), px(10), y, px(240), h, px(6));
        fillRoundedRect(graphics, kit.solid(Palette::accent), px(10), y + px(12), px(3), px(26),
                        px(2));
    } else if (index == view.hoveredIndex) {
        fillRoundedRect(graphics, kit.solid(0x14FFFFFF), px(10), y, px(240), h, px(6));
    }
    drawFlag(graphics, kit, location, px(25), y + px(15));
    drawText(graphics, location.displayName, kit.rowTitleFont, static_cast<float>(px(65)),
             static_cast<float>(y + px(8)),
             kit.solid(selected ? Palette::textPrimary : Palette::textSecondary));
    drawText(graphics, utf8ToWide(subtitleFor(location.code)), kit.rowSubtitleFont,
             static_cast<float>(px(65)), static_cast<float>(y + px(28)), kit.solid(0xB49196A0));
}

void drawPanelBackdrop(GpGraphics* graphics, DrawingKit& kit, int height) {
    const int panel = panelWidth();
    if (GpBrush* background = kit.solid(Palette::panelBackground))
        gdip::GdipFillRectangleI(graphics, background, 0, 0, panel, height);
    // Its box follows the window's height, so this brush is made per frame.
    const int edge = px(10);
    GradientBrush shade = makeGradientBrush(panel - edge, 0, edge, height, 0x00000000, 0x28000000,
                                            Gdiplus::LinearGradientModeHorizontal);
    if (shade.get()) gdip::GdipFillRectangleI(graphics, shade.get(), panel - edge, 0, edge, height);

    const float at20 = static_cast<float>(px(20));
    const float at22 = static_cast<float>(px(22));
    drawText(graphics, L"Sovelin", kit.headerFont, at22, at22, kit.solid(0x64000000));
    drawText(graphics, L"Sovelin", kit.headerFont, at20, at20, kit.solid(Palette::textPrimary));
    drawText(graphics, utf8ToWide("СЕРВЕРЫ"), kit.sectionFont, at20, static_cast<float>(px(65)),
             kit.solid(Palette::textSecondary));
}

void drawScrollIndicator(GpGraphics* graphics, DrawingKit& kit, std::size_t rowCount, int height) {
    if (!listOverflows(rowCount, height)) return;
    const PixelBox thumb = scrollThumbBox(rowCount, height);
    if (thumb.bottom <= thumb.top) return;
    fillRoundedRect(graphics, kit.solid(0x46FFFFFF), thumb.left, thumb.top,
                    thumb.right - thumb.left, thumb.bottom - thumb.top, 1);
}
