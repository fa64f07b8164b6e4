// The painters drawn into an off-screen bitmap through GDI+, pixels read back.
#include "core/state.h"
#include "ui/draw_win.h"
#include "ui/layout.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

namespace {

constexpr ARGB untouched = 0xFF123456; // a colour no painter uses

struct Rgb {
    int r, g, b;
};

Rgb rgbOf(ARGB c) {
    return {int(c >> 16 & 0xFF), int(c >> 8 & 0xFF), int(c & 0xFF)};
}

// A 32-bit DIB section with a GDI+ context on it, set up as the paint does.
class Canvas : public ::testing::Test {
  protected:
    static constexpr int width = 900;
    static constexpr int height = 600;

    static void SetUpTestSuite() {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token, &input, nullptr);
    }
    static void TearDownTestSuite() { Gdiplus::GdiplusShutdown(token); }

    void SetUp() override {
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height; // top-down rows
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        dc = CreateCompatibleDC(nullptr);
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits),
                                  nullptr, 0);
        ASSERT_NE(bitmap, nullptr);
        previous = SelectObject(dc, bitmap);
        for (int i = 0; i < width * height; ++i)
            bits[i] = untouched;
        ASSERT_EQ(gdip::GdipCreateFromHDC(dc, &graphics), Gdiplus::Ok);
        gdip::GdipSetSmoothingMode(graphics, Gdiplus::SmoothingModeAntiAlias);
        gdip::GdipSetTextRenderingHint(graphics, Gdiplus::TextRenderingHintClearTypeGridFit);

        appState.locations.store(std::make_shared<const LocationList>());
        appState.selectedIndex = 0;
        appState.hoveredIndex = -1;
        appState.connectionState = Disconnected;
        appState.killSwitchEnabled = false;
        appState.autostartEnabled = false;
        appState.pulsePhase = 0.0f;
    }

    void TearDown() override {
        if (graphics) gdip::GdipDeleteGraphics(graphics);
        SelectObject(dc, previous);
        DeleteObject(bitmap);
        DeleteDC(dc);
        appState.locations.store(std::make_shared<const LocationList>());
        appState.connectionState = Disconnected;
    }

    Rgb at(int x, int y) {
        gdip::GdipFlush(graphics, Gdiplus::FlushIntentionSync);
        return rgbOf(bits[y * width + x]);
    }
    bool is(int x, int y, ARGB colour, int tolerance = 3) {
        const Rgb a = at(x, y), b = rgbOf(colour);
        return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
               std::abs(a.b - b.b) <= tolerance;
    }

    static inline ULONG_PTR token = 0;
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ previous = nullptr;
    std::uint32_t* bits = nullptr;
    GpGraphics* graphics = nullptr;
};

void setCatalogue(std::initializer_list<const char*> codes) {
    auto list = std::make_shared<LocationList>();
    for (const char* c : codes)
        list->push_back({c, L"Name"});
    appState.locations.store(std::shared_ptr<const LocationList>(std::move(list)));
}

} // namespace

TEST_F(Canvas, FlagsByExactCode) {
    // Flag i is drawn at (10 + 40i, 10). The e2e screenshot samples each
    // field's middle; here the US stripes' and the GB cross's exact edges.
    const char* const codes[] = {"DE", "NL", "FR", "US", "GB"};
    for (int i = 0; i < 5; ++i)
        drawFlag(graphics, Location{codes[i], L""}, 10 + 40 * i, 10);
    const struct {
        int flag, dx, dy;
        ARGB colour;
    } samples[] = {
        {3, 25, 0, 0xFFBF0A30},  {3, 25, 1, 0xFFFFFFFF},  {3, 25, 19, 0xFFFFFFFF},
        {3, 20, 14, 0xFFBF0A30}, {4, 14, 3, 0xFFCF142B},  {4, 3, 8, 0xFFFFFFFF},
        {4, 3, 9, 0xFFCF142B},   {4, 25, 16, 0xFF00247D},
    };
    for (const auto& s : samples)
        EXPECT_TRUE(is(10 + 40 * s.flag + s.dx, 10 + s.dy, s.colour))
            << codes[s.flag] << " at " << s.dx << "," << s.dy;
    // DE and NL leave the flag's row 12 unpainted by any field.
    EXPECT_FALSE(is(15, 10 + 12, 0xFFFFCC00, 40));
    EXPECT_FALSE(is(15, 10 + 12, 0xFFFF0000, 40));
    EXPECT_FALSE(is(55, 10 + 12, 0xFF21468B, 40));

    // Anything but an exact upper-case two-byte code is grey.
    int x = 10;
    for (const char* code : {"de", "DEU", "", "RU", "JP", "D"}) {
        drawFlag(graphics, Location{code, L""}, x, 50);
        EXPECT_TRUE(is(x + 15, 60, 0xFF505050) && is(x + 2, 52, 0xFF505050)) << '"' << code << '"';
        x += 40;
    }
}

TEST_F(Canvas, RoundedRectKeepsItsCornersOpen) {
    SolidBrush brush = makeSolidBrush(0xFF00FF00);
    fillRoundedRect(graphics, brush.get(), 100, 100, 200, 80, 16);
    EXPECT_TRUE(is(200, 140, 0xFF00FF00));
    EXPECT_TRUE(is(101, 140, 0xFF00FF00)); // straight left edge
    EXPECT_TRUE(is(200, 101, 0xFF00FF00)); // straight top edge
    EXPECT_TRUE(is(101, 101, untouched));  // outside the corner arc
    EXPECT_TRUE(is(298, 178, untouched));
    EXPECT_TRUE(is(305, 140, untouched));
    // A radius above half the width (the selection bar) still fills its middle.
    fillRoundedRect(graphics, brush.get(), 400, 100, 3, 26, 2);
    EXPECT_TRUE(is(401, 113, 0xFF00FF00, 60));
    // A failing brush draws nothing and does not crash.
    fillRoundedRect(graphics, nullptr, 500, 100, 50, 50, 8);
    EXPECT_TRUE(is(525, 125, untouched));
}

TEST_F(Canvas, PageBackgroundIsTheVerticalGradientRightOfThePanel) {
    fillPageBackground(graphics, width - 260, height);
    EXPECT_TRUE(is(259, 300, untouched));
    EXPECT_TRUE(is(260, 0, Palette::pageGradientTop, 2));
    EXPECT_TRUE(is(899, height - 1, Palette::pageGradientBottom, 2));
    const Rgb middle = at(500, 300);
    EXPECT_LT(middle.b, 38);
    EXPECT_GT(middle.b, 20);
}

TEST_F(Canvas, ServerListShowsSelectionOverHover) {
    setCatalogue({"DE", "FR", "JP"});
    appState.selectedIndex = 1;
    appState.hoveredIndex = 1;        // selected and hovered: selected only
    drawServerList(graphics, height); // plain rows and flags: the e2e screenshot
    EXPECT_TRUE(is(11, rowTop(1) + 25, Palette::accent, 40)); // accent bar
    EXPECT_TRUE(is(150, rowTop(1) + 45, 0xFF191E30, 6));      // the highlight
    EXPECT_TRUE(is(300, 300, untouched));                     // nothing right of the panel
    // The edge shadow darkens the panel towards x = 259.
    EXPECT_LT(at(258, 580).b, 32);

    appState.selectedIndex = 7; // beyond a shorter list: no highlight at all
    appState.hoveredIndex = 2;
    drawServerList(graphics, height);
    for (int k = 0; k < 3; ++k)
        EXPECT_FALSE(is(11, rowTop(k) + 25, Palette::accent, 60)) << k;
    EXPECT_TRUE(is(150, rowTop(2) + 45, 0xFF222631, 4)); // white at alpha 20
    EXPECT_TRUE(is(150, rowTop(1) + 45, Palette::panelBackground));
}

TEST_F(Canvas, MainPageFollowsTheConnectionState) {
    const PageCentre c = pageCentre(width, height);
    struct Look {
        ConnectionState state;
        ARGB from, to;
    };
    for (const Look& look :
         {Look{Disconnected, 0xFF3C8CFF, 0xFF005AC8}, Look{Connecting, 0xFFFFC832, 0xFFC88C0A},
          Look{Connected, 0xFF1ED282, 0xFF0A9664}}) {
        appState.connectionState = look.state;
        drawMainPage(graphics, width - 260, height);
        // Forward diagonal: the start colour top-left, the end bottom-right.
        EXPECT_TRUE(is(c.x - 55, c.y - 10, look.from, 40)) << look.state;
        EXPECT_TRUE(is(c.x + 55, c.y + 50, look.to, 40)) << look.state;
    }
    EXPECT_TRUE(is(250, 300, untouched)); // the panel is not painted here
}

TEST_F(Canvas, HaloShowsWhileActiveAndThePhaseHoldsOtherwise) {
    const PageCentre c = pageCentre(width, height);
    appState.connectionState = Connected;
    appState.pulsePhase = 1.5f; // the next frame, 1.58, is near the widest halo
    drawMainPage(graphics, width - 260, height);
    EXPECT_FLOAT_EQ(appState.pulsePhase, 1.58f);
    EXPECT_TRUE(is(c.x, c.y - 92, 0xFF10B981, 120)); // a green ring outside the button
    EXPECT_GT(at(c.x, c.y - 92).g, 60);

    appState.connectionState = Disconnected;
    drawMainPage(graphics, width - 260, height);
    EXPECT_FLOAT_EQ(appState.pulsePhase, 1.58f);
    EXPECT_LT(at(c.x, c.y - 92).g, 40); // page background only

    appState.connectionState = Connecting;
    appState.pulsePhase = 6.25f;
    drawMainPage(graphics, width - 260, height);
    EXPECT_GE(appState.pulsePhase, 0.0f); // wrapped into the turn
    EXPECT_LT(appState.pulsePhase, 0.1f);
}

TEST_F(Canvas, PaintersSurviveAFailedContext) {
    // Every call fails; each painter must still return and release its objects.
    setCatalogue({"DE", "US"});
    appState.connectionState = Connecting;
    drawServerList(nullptr, height);
    drawMainPage(nullptr, width - 260, height);
    drawSettingsPage(nullptr, width - 260, height);
    EXPECT_FLOAT_EQ(appState.pulsePhase, 0.08f);
    EXPECT_TRUE(is(450, 300, untouched));
}
