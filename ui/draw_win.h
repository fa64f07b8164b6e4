// What the three painters share: the palette, small owners for GDI+ objects
// (released also when a call fails), the kit of objects that outlive a frame,
// the drawing primitives and the painters.
#pragma once

#include "ui/elements.h"

#include <windows.h>
// gdiplus.h needs the COM property types that WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>
#include <gdiplus.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace gdip = Gdiplus::DllExports;
using Gdiplus::ARGB;
using Gdiplus::GpBrush;
using Gdiplus::GpGraphics;

struct Palette {
    static constexpr ARGB panelBackground = 0xFF0F1420;
    static constexpr ARGB cardFill = 0xFF191E2D;
    static constexpr ARGB textSecondary = 0xFF8C91A0;
    static constexpr ARGB accent = 0xFF007AFF;
    static constexpr ARGB textPrimary = 0xFFF0F0F5;
    static constexpr ARGB pageGradientTop = 0xFF121826;
    static constexpr ARGB pageGradientBottom = 0xFF0A0C14;
};

inline constexpr const wchar_t* fontFamilyName = L"Segoe UI";

// Owns one GDI+ object and releases it with its flat delete function.
template <typename T, typename Base, Gdiplus::GpStatus(WINGDIPAPI* release)(Base*)>
struct GdipOwned {
    T* object = nullptr;
    GdipOwned() = default;
    GdipOwned(const GdipOwned&) = delete;
    GdipOwned& operator=(const GdipOwned&) = delete;
    GdipOwned(GdipOwned&& other) noexcept : object(other.object) { other.object = nullptr; }
    GdipOwned& operator=(GdipOwned&& other) noexcept {
        std::swap(object, other.object);
        return *this;
    }
    ~GdipOwned() {
        if (object) release(object);
    }
    T** out() { return &object; }
    T* get() const { return object; }
};

using SolidBrush = GdipOwned<Gdiplus::GpSolidFill, GpBrush, gdip::GdipDeleteBrush>;
using GradientBrush = GdipOwned<Gdiplus::GpLineGradient, GpBrush, gdip::GdipDeleteBrush>;
using Pen = GdipOwned<Gdiplus::GpPen, Gdiplus::GpPen, gdip::GdipDeletePen>;
using FontFamily =
    GdipOwned<Gdiplus::GpFontFamily, Gdiplus::GpFontFamily, gdip::GdipDeleteFontFamily>;
using Font = GdipOwned<Gdiplus::GpFont, Gdiplus::GpFont, gdip::GdipDeleteFont>;
using StringFormat =
    GdipOwned<Gdiplus::GpStringFormat, Gdiplus::GpStringFormat, gdip::GdipDeleteStringFormat>;
using Path = GdipOwned<Gdiplus::GpPath, Gdiplus::GpPath, gdip::GdipDeletePath>;

SolidBrush makeSolidBrush(ARGB colour);
GradientBrush makeGradientBrush(int x, int y, int width, int height, ARGB from, ARGB to,
                                Gdiplus::LinearGradientMode mode);
Pen makePen(ARGB colour, float width);

// The drawing objects that are the same in every frame, made once per window
// and released with it, before GDI+ shuts down: making a font family and its
// fonts costs more than drawing with them. Brushes whose box follows the
// window's size or the button's place are still made per frame.
class DrawingKit {
  public:
    DrawingKit();
    // Makes the fonts and pens again when view.dpi is not the one they were
    // made for: sizes are written at 96 DPI.
    void fitDpi();
    DrawingKit(const DrawingKit&) = delete;
    DrawingKit& operator=(const DrawingKit&) = delete;

    // A solid brush of this colour, made at its first use and kept.
    GpBrush* solid(ARGB colour);

    // Empty when "Segoe UI" cannot be had: then every font is empty too, and
    // texts are left out while shapes are drawn.
    FontFamily family;
    Font headerFont;            // 24 bold: panel header, settings title
    Font sectionFont;           // 11 bold
    Font rowTitleFont;          // 15 bold
    Font rowSubtitleFont;       // 12
    Font buttonFont;            // 20 bold
    Font statusTitleFont;       // 18 bold
    Font statusHintFont;        // 14
    Font settingsItemFont;      // 17: items and the Back label
    StringFormat centred;       // both ways: the button label
    StringFormat centredAcross; // across only: the card's texts hang from their point
    Pen flagOutline;
    Pen gearRing;
    Pen focusRing;

  private:
    void makeSized();
    int dpi = 0;
    std::vector<std::pair<ARGB, SolidBrush>> solids;
};

// Draws text with its point at (x, y): top-left without a format.
void drawText(GpGraphics* graphics, const std::wstring& text, const Font& font, float x, float y,
              GpBrush* brush, const StringFormat* format = nullptr);

void fillRoundedRect(GpGraphics* graphics, GpBrush* brush, int x, int y, int width, int height,
                     int radius);
void drawFlag(GpGraphics* graphics, DrawingKit& kit, const Location& location, int x, int y);
void fillPageBackground(GpGraphics* graphics, int width, int height);

// The painters, in their steps, each placing its shapes where the element
// table puts its element. width is the page's (the client width minus the
// panel).
void drawPanelBackdrop(GpGraphics* graphics, DrawingKit& kit, const ElementTable& table);
// A row of the list: its highlight, flag, title and subtitle.
void drawPanelRow(GpGraphics* graphics, DrawingKit& kit, const Element& row,
                  const Location& location);
// The thin bar at the panel's edge, only while the rows do not fit.
void drawScrollIndicator(GpGraphics* graphics, DrawingKit& kit, std::size_t rowCount, int height);
void drawGear(GpGraphics* graphics, DrawingKit& kit, const Element& gear);
// The halo, the button with its gloss and its label, around its centre.
void drawConnectButton(GpGraphics* graphics, DrawingKit& kit, const Element& button,
                       ConnectionState state);
// The focus ring around the button, after a key was pressed (drawButtonFocus)
// and around the other elements (drawFocusRing), drawn last, over all else.
void drawButtonFocus(GpGraphics* graphics, DrawingKit& kit, const Element& button);
void drawFocusRing(GpGraphics* graphics, DrawingKit& kit, const ElementTable& table);
void drawStatusCard(GpGraphics* graphics, DrawingKit& kit, int clientWidth, int clientHeight,
                    ConnectionState state);
void drawSettingsContent(GpGraphics* graphics, DrawingKit& kit, const ElementTable& table);

// The whole client area drawn step by step onto a cleared buffer: the panel,
// then the page. FramePainter gives the same pixels faster. The state is
// read once by the caller, so that all of a frame agrees.
void drawFrame(GpGraphics* graphics, DrawingKit& kit, int clientWidth, int clientHeight,
               ConnectionState state);
