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

void drawRow(GpGraphics* graphics, const Location& location, int index, const Font& titleFont,
             const Font& subtitleFont) {
    const int y = rowTop(index);
    const bool selected = index == appState.selectedIndex.load();
    if (selected) {
        GradientBrush fill = makeGradientBrush(10, y, 240, rowHeight, 0xFF1E2337, 0xFF191E30,
                                               Gdiplus::LinearGradientModeVertical);
        fillRoundedRect(graphics, fill.get(), 10, y, 240, rowHeight, 6);
        SolidBrush bar = makeSolidBrush(Palette::accent);
        fillRoundedRect(graphics, bar.get(), 10, y + 12, 3, 26, 2);
    } else if (index == appState.hoveredIndex) {
        SolidBrush fill = makeSolidBrush(0x14FFFFFF);
        fillRoundedRect(graphics, fill.get(), 10, y, 240, rowHeight, 6);
    }
    drawFlag(graphics, location, 25, y + 15);
    {
        SolidBrush text = makeSolidBrush(selected ? Palette::textPrimary : Palette::textSecondary);
        drawText(graphics, location.displayName, titleFont, 65.0f, static_cast<float>(y + 8),
                 text.get());
    }
    SolidBrush subtitle = makeSolidBrush(0xB49196A0);
    drawText(graphics, utf8ToWide(subtitleFor(location.code)), subtitleFont, 65.0f,
             static_cast<float>(y + 28), subtitle.get());
}

} // namespace

void drawServerList(GpGraphics* graphics, int height) {
    SolidBrush background = makeSolidBrush(Palette::panelBackground);
    if (background.get()) {
        gdip::GdipFillRectangleI(graphics, background.get(), 0, 0, listPanelWidth, height);
    }
    GradientBrush edge = makeGradientBrush(250, 0, 10, height, 0x00000000, 0x28000000,
                                           Gdiplus::LinearGradientModeHorizontal);
    if (edge.get()) gdip::GdipFillRectangleI(graphics, edge.get(), 250, 0, 10, height);

    FontFamily family = makeFontFamily();
    Font headerFont = makeFont(family, 24.0f, true);
    Font labelFont = makeFont(family, 11.0f, true);
    Font titleFont = makeFont(family, 15.0f, true);
    Font subtitleFont = makeFont(family, 12.0f, false);

    SolidBrush shadow = makeSolidBrush(0x64000000);
    drawText(graphics, L"Sovelin", headerFont, 22.0f, 22.0f, shadow.get());
    SolidBrush primary = makeSolidBrush(Palette::textPrimary);
    drawText(graphics, L"Sovelin", headerFont, 20.0f, 20.0f, primary.get());
    SolidBrush secondary = makeSolidBrush(Palette::textSecondary);
    drawText(graphics, utf8ToWide("СЕРВЕРЫ"), labelFont, 20.0f, 65.0f, secondary.get());

    // One snapshot for the whole panel: a catalogue swapped in meanwhile is
    // drawn at the next paint, never half.
    const auto list = currentLocations();
    if (!list) return;
    for (std::size_t i = 0; i < list->size(); ++i) {
        drawRow(graphics, (*list)[i], static_cast<int>(i), titleFont, subtitleFont);
    }
}
