#include "ui/draw_win.h"

#include "core/countries.h"
#include "ui/input.h"

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

namespace {

FontFamily makeFontFamily() {
    FontFamily family;
    gdip::GdipCreateFontFamilyFromName(fontFamilyName, nullptr, family.out());
    return family;
}

// Pixel units; empty when the family is.
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

} // namespace

DrawingKit::DrawingKit() : family(makeFontFamily()) {
    solids.reserve(48); // the window's colours, flags included
    makeSized();
}

void DrawingKit::makeSized() {
    const auto size = [](float em) { return em * static_cast<float>(view.dpi) / designDpi; };
    headerFont = makeFont(family, size(24.0f), true);
    sectionFont = makeFont(family, size(11.0f), true);
    rowTitleFont = makeFont(family, size(15.0f), true);
    rowSubtitleFont = makeFont(family, size(12.0f), false);
    buttonFont = makeFont(family, size(20.0f), true);
    statusTitleFont = makeFont(family, size(18.0f), true);
    statusHintFont = makeFont(family, size(14.0f), false);
    settingsItemFont = makeFont(family, size(17.0f), false);
    centred = makeCentredFormat(true);
    centredAcross = makeCentredFormat(false);
    flagOutline = makePen(0x64FFFFFF, size(1.0f));
    gearRing = makePen(0xFFFFFFFF, size(2.0f));
    focusRing = makePen(0xF0FFFFFF, size(2.0f));
    dpi = view.dpi;
}

void DrawingKit::fitDpi() {
    if (dpi != view.dpi) makeSized();
}

GpBrush* DrawingKit::solid(ARGB colour) {
    for (auto& [c, brush] : solids)
        if (c == colour) return brush.get();
    SolidBrush brush = makeSolidBrush(colour);
    // A brush that could not be made is tried again next frame.
    if (!brush.get()) return nullptr;
    solids.emplace_back(colour, std::move(brush));
    return solids.back().second.get();
}

void drawText(GpGraphics* graphics, const std::wstring& text, const Font& font, float x, float y,
              GpBrush* brush, const StringFormat* format) {
    if (!font.get() || !brush) return;
    const Gdiplus::RectF at(x, y, 0.0f, 0.0f);
    gdip::GdipDrawString(graphics, text.c_str(), -1, font.get(), &at,
                         format ? format->get() : nullptr, brush);
}

void drawFlag(GpGraphics* graphics, DrawingKit& kit, const Location& location, int x, int y) {
    if (kit.flagOutline.get())
        gdip::GdipDrawRectangleI(graphics, kit.flagOutline.get(), x, y, px(30), px(20));
    // Exact two-byte upper-case codes only; "de", "DEU" and "" are grey.
    const Country* country = findCountry(location.code);
    const FlagField* fields = country && country->flag ? country->flag : &greyFlag;
    const int count = country && country->flag ? country->flagFieldCount : 1;
    for (int i = 0; i < count; ++i) {
        const FlagField& f = fields[i];
        // Each edge scaled on its own, so that fields still meet.
        const int left = px(f.left), top = px(f.top);
        if (GpBrush* brush = kit.solid(f.colour))
            gdip::GdipFillRectangleI(graphics, brush, x + left, y + top,
                                     px(f.left + f.width) - left, px(f.top + f.height) - top);
    }
}

void fillPageBackground(GpGraphics* graphics, int width, int height) {
    // The brush box is one pixel taller than the fill, as the page always had.
    GradientBrush brush =
        makeGradientBrush(panelWidth(), 0, width, height + 1, Palette::pageGradientTop,
                          Palette::pageGradientBottom, Gdiplus::LinearGradientModeVertical);
    if (brush.get())
        gdip::GdipFillRectangleI(graphics, brush.get(), panelWidth(), 0, width, height);
}

namespace {

Path roundedRectPath(int x, int y, int width, int height, int radius) {
    Path path;
    if (gdip::GdipCreatePath(Gdiplus::FillModeAlternate, path.out()) != Gdiplus::Ok) return path;
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
    return path;
}

void strokeRing(GpGraphics* graphics, DrawingKit& kit, const PixelBox& around, int radius) {
    const int out = px(3);
    const Path path =
        roundedRectPath(around.left - out, around.top - out, around.right - around.left + 2 * out,
                        around.bottom - around.top + 2 * out, radius);
    if (path.get() && kit.focusRing.get())
        gdip::GdipDrawPath(graphics, kit.focusRing.get(), path.get());
}

} // namespace

void fillRoundedRect(GpGraphics* graphics, GpBrush* brush, int x, int y, int width, int height,
                     int radius) {
    const Path path = roundedRectPath(x, y, width, height, radius);
    if (brush && path.get()) gdip::GdipFillPath(graphics, brush, path.get());
}

void drawFocusRing(GpGraphics* graphics, DrawingKit& kit, const ElementTable& table) {
    if (!view.focusRingShown || !partShown(view.focus)) return;
    const Element* e =
        view.focus == Part::List ? table.row(table.scene.selected) : table.find(view.focus);
    if (!e || !e->shown()) return;
    const PixelBox& b = e->box;
    switch (view.focus) {
    case Part::List:
        // Inside the panel and within the gaps between the rows.
        strokeRing(
            graphics, kit,
            {b.left + span(10, 11), b.top + px(1), b.right - span(249, 250), b.bottom - 1 - px(1)},
            px(8));
        return;
    case Part::KillSwitch:
    case Part::Autostart:
        strokeRing(graphics, kit, b, px(6));
        return;
    case Part::Gear:
    case Part::Back:
        strokeRing(graphics, kit, b, px(10));
        return;
    case Part::Button:
        return; // drawn with the button, inside the halo's area
    }
}
