#include "ui/draw_win.h"

#include "core/countries.h"
#include "ui/layout.h"

SolidBrush makeSolidBrush(ARGB colour) {
    SolidBrush brush;
    gdip::GdipCreateSolidFill(colour, brush.out());
    return brush;
}

GradientBrush makeGradientBrush(int x, int y, int width, int height, ARGB from, ARGB to,
                                Gdiplus::LinearGradientMode mode) {
    GradientBrush brush;
    const Gdiplus::GpRect box(x, y, width, height);
    gdip::GdipCreateLineBrushFromRectI(&box, from, to, mode, Gdiplus::WrapModeTile, brush.out());
    return brush;
}

Pen makePen(ARGB colour, float width) {
    Pen pen;
    gdip::GdipCreatePen1(colour, width, Gdiplus::UnitWorld, pen.out());
    return pen;
}

FontFamily makeFontFamily() {
    FontFamily family;
    gdip::GdipCreateFontFamilyFromName(fontFamilyName, nullptr, family.out());
    return family;
}

Font makeFont(const FontFamily& family, float emSize, bool bold) {
    Font font;
    if (family.get()) {
        gdip::GdipCreateFont(family.get(), emSize,
                             bold ? Gdiplus::FontStyleBold : Gdiplus::FontStyleRegular,
                             Gdiplus::UnitPixel, font.out());
    }
    return font;
}

StringFormat makeCentredFormat(bool alsoVertically) {
    StringFormat format;
    if (gdip::GdipCreateStringFormat(0, 0, format.out()) == Gdiplus::Ok) {
        gdip::GdipSetStringFormatAlign(format.get(), Gdiplus::StringAlignmentCenter);
        if (alsoVertically)
            gdip::GdipSetStringFormatLineAlign(format.get(), Gdiplus::StringAlignmentCenter);
    }
    return format;
}

void drawText(GpGraphics* graphics, const std::wstring& text, const Font& font, float x, float y,
              GpBrush* brush, const StringFormat* format) {
    if (!font.get() || !brush) return;
    const Gdiplus::RectF at(x, y, 0.0f, 0.0f);
    gdip::GdipDrawString(graphics, text.c_str(), -1, font.get(), &at,
                         format ? format->get() : nullptr, brush);
}

void fillRoundedRect(GpGraphics* graphics, GpBrush* brush, int x, int y, int width, int height,
                     int radius) {
    Path path;
    if (gdip::GdipCreatePath(Gdiplus::FillModeAlternate, path.out()) != Gdiplus::Ok) return;
    const int d = 2 * radius;
    Gdiplus::GpPath* p = path.get();
    gdip::GdipAddPathArcI(p, x, y, d, d, 180.0f, 90.0f);
    gdip::GdipAddPathLineI(p, x + radius, y, x + width - radius, y);
    gdip::GdipAddPathArcI(p, x + width - d, y, d, d, 270.0f, 90.0f);
    gdip::GdipAddPathLineI(p, x + width, y + radius, x + width, y + height - radius);
    gdip::GdipAddPathArcI(p, x + width - d, y + height - d, d, d, 0.0f, 90.0f);
    gdip::GdipAddPathLineI(p, x + width - radius, y + height, x + radius, y + height);
    gdip::GdipAddPathArcI(p, x, y + height - d, d, d, 90.0f, 90.0f);
    gdip::GdipClosePathFigure(p);
    if (brush) gdip::GdipFillPath(graphics, brush, p);
}

void drawFlag(GpGraphics* graphics, const Location& location, int x, int y) {
    {
        Pen outline = makePen(0x64FFFFFF, 1.0f);
        if (outline.get()) gdip::GdipDrawRectangleI(graphics, outline.get(), x, y, 30, 20);
    }
    // Exact two-byte upper-case codes only; "de", "DEU" and "" are grey.
    const Country* country = findCountry(location.code);
    const FlagField* fields = country && country->flag ? country->flag : &greyFlag;
    const int count = country && country->flag ? country->flagFieldCount : 1;
    for (int i = 0; i < count; ++i) {
        const FlagField& f = fields[i];
        SolidBrush brush = makeSolidBrush(f.colour);
        if (brush.get()) {
            gdip::GdipFillRectangleI(graphics, brush.get(), x + f.left, y + f.top, f.width,
                                     f.height);
        }
    }
}

void fillPageBackground(GpGraphics* graphics, int width, int height) {
    // The brush box is one pixel taller than the fill, as the page always had.
    GradientBrush brush =
        makeGradientBrush(listPanelWidth, 0, width, height + 1, Palette::pageGradientTop,
                          Palette::pageGradientBottom, Gdiplus::LinearGradientModeVertical);
    if (brush.get())
        gdip::GdipFillRectangleI(graphics, brush.get(), listPanelWidth, 0, width, height);
}
