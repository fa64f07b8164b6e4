// What the three painters share: the palette, the fonts, small owners for
// GDI+ objects (so everything created in a paint is released in that paint,
// also when a call fails) and the drawing primitives.
#pragma once

#include "core/state.h"

#include <windows.h>
// gdiplus.h needs the COM property types that WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>
#include <gdiplus.h>

#include <string>

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
FontFamily makeFontFamily();
// A "Segoe UI" font in pixel units; empty (and its texts not drawn) when the
// family could not be created.
Font makeFont(const FontFamily& family, float emSize, bool bold);
// Centred horizontally, and vertically too when asked.
StringFormat makeCentredFormat(bool alsoVertically);

// Draws text with its point at (x, y): top-left without a format.
void drawText(GpGraphics* graphics, const std::wstring& text, const Font& font, float x, float y,
              GpBrush* brush, const StringFormat* format = nullptr);

void fillRoundedRect(GpGraphics* graphics, GpBrush* brush, int x, int y, int width, int height,
                     int radius);
void drawFlag(GpGraphics* graphics, const Location& location, int x, int y);
void fillPageBackground(GpGraphics* graphics, int width, int height);

// The three painters, called by the window's paint in this order.
void drawServerList(GpGraphics* graphics, int height);
void drawMainPage(GpGraphics* graphics, int width, int height);
void drawSettingsPage(GpGraphics* graphics, int width, int height);
