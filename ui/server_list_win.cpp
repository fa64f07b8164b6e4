// The server list panel: the left 260 pixels of the window (at 96 DPI).
#include "core/countries.h"
#include "core/text.h"
#include "ui/draw_win.h"

namespace {

// Fixed subtitle by exact two-byte code; the figures are part of the text.
const char* subtitleFor(const std::string& code) {
    const Country* country = findCountry(code);
    return country ? country->subtitle : autoSubtitle;
}

} // namespace

void drawPanelRow(GpGraphics* graphics, DrawingKit& kit, const Element& row,
                  const Location& location) {
    // Placed from the row's corner as the layout wrote them from (10, top).
    const int x = row.box.left;
    const int y = row.box.top;
    const int h = rowBandHeight();
    if (row.selected) {
        // Its box moves with the row, so this brush is made per frame.
        GradientBrush fill = makeGradientBrush(x, y, px(240), h, 0xFF1E2337, 0xFF191E30,
                                               Gdiplus::LinearGradientModeVertical);
        fillRoundedRect(graphics, fill.get(), x, y, px(240), h, px(6));
        fillRoundedRect(graphics, kit.solid(Palette::accent), x, y + px(12), px(3), px(26), px(2));
    } else if (row.hovered) {
        fillRoundedRect(graphics, kit.solid(0x14FFFFFF), x, y, px(240), h, px(6));
    }
    drawFlag(graphics, kit, location, x + span(10, 25), y + px(15));
    const float textX = static_cast<float>(x + span(10, 65));
    drawText(graphics, row.label, kit.rowTitleFont, textX, static_cast<float>(y + px(8)),
             kit.solid(row.selected ? Palette::textPrimary : Palette::textSecondary));
    drawText(graphics, utf8ToWide(subtitleFor(location.code)), kit.rowSubtitleFont, textX,
             static_cast<float>(y + px(28)), kit.solid(0xB49196A0));
}

void drawPanelBackdrop(GpGraphics* graphics, DrawingKit& kit, const ElementTable& table) {
    const int panel = panelWidth();
    const int height = table.scene.clientHeight;
    if (GpBrush* background = kit.solid(Palette::panelBackground))
        gdip::GdipFillRectangleI(graphics, background, 0, 0, panel, height);
    // Its box follows the window's height, so this brush is made per frame.
    const int edge = px(10);
    GradientBrush shade = makeGradientBrush(panel - edge, 0, edge, height, 0x00000000, 0x28000000,
                                            Gdiplus::LinearGradientModeHorizontal);
    if (shade.get()) gdip::GdipFillRectangleI(graphics, shade.get(), panel - edge, 0, edge, height);

    const float at20 = static_cast<float>(px(20));
    const float at22 = static_cast<float>(px(22));
    drawText(graphics, headerText, kit.headerFont, at22, at22, kit.solid(0x64000000));
    drawText(graphics, headerText, kit.headerFont, at20, at20, kit.solid(Palette::textPrimary));
    // The list's name, as its label over the rows.
    drawText(graphics, table.elements.front().label, kit.sectionFont, at20,
             static_cast<float>(px(65)), kit.solid(Palette::textSecondary));
}

void drawScrollIndicator(GpGraphics* graphics, DrawingKit& kit, std::size_t rowCount, int height) {
    if (!listOverflows(rowCount, height)) return;
    const PixelBox thumb = scrollThumbBox(rowCount, height);
    if (thumb.bottom <= thumb.top) return;
    fillRoundedRect(graphics, kit.solid(0x46FFFFFF), thumb.left, thumb.top,
                    thumb.right - thumb.left, thumb.bottom - thumb.top, 1);
}
