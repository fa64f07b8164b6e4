// The main page: connect button with its halo, status card, settings icon.
#include "api/http.h"
#include "ui/draw_win.h"
#include "ui/layout.h"

namespace {

struct StateLook {
    const char* label;
    const char* title;
    const char* hint;
    ARGB halo;
    ARGB buttonFrom;
    ARGB buttonTo;
};

StateLook lookOf(ConnectionState state) {
    switch (state) {
    case Connected:
        return {"ЗАЩИЩЕНО", "Соединение установлено", "Ваш IP скрыт.", 0x6410B981, 0xFF1ED282,
                0xFF0A9664};
    case Connecting:
        return {"РАБОТАЕТ", "Вы не защищены", "Нажмите для запуска.",
                0x64F59E0B, 0xFFFFC832,       0xFFC88C0A};
    default:
        return {"СТАРТ", "Вы не защищены", "Нажмите для запуска.", 0, 0xFF3C8CFF, 0xFF005AC8};
    }
}

} // namespace

void drawMainPage(GpGraphics* graphics, int width, int height) {
    fillPageBackground(graphics, width, height);
    const PageCentre c = pageCentre(width + listPanelWidth, height);

    {
        SolidBrush tile = makeSolidBrush(0x1EFFFFFF);
        fillRoundedRect(graphics, tile.get(), width + 210, 30, 32, 32, 8);
        Pen ring = makePen(0xFFFFFFFF, 2.0f);
        if (ring.get()) gdip::GdipDrawEllipseI(graphics, ring.get(), width + 216, 36, 20, 20);
    }

    // One reading of the state per paint, so the button, its label and the
    // card always agree within a frame.
    const ConnectionState state = appState.connectionState.load();
    const StateLook look = lookOf(state);

    if (state == Connecting || state == Connected) {
        appState.pulsePhase = advancePulsePhase(appState.pulsePhase);
        const HaloSize halo = haloSize(appState.pulsePhase);
        SolidBrush brush = makeSolidBrush(look.halo);
        if (brush.get()) {
            gdip::GdipFillEllipseI(graphics, brush.get(), c.x - halo.radius, c.y - halo.radius,
                                   halo.diameter, halo.diameter);
        }
    }

    {
        GradientBrush button =
            makeGradientBrush(c.x - 90, c.y - 90, 180, 180, look.buttonFrom, look.buttonTo,
                              Gdiplus::LinearGradientModeForwardDiagonal);
        if (button.get()) {
            gdip::GdipFillEllipseI(graphics, button.get(), c.x - 90, c.y - 90, 180, 180);
        }
        GradientBrush gloss = makeGradientBrush(c.x - 45, c.y - 80, 90, 45, 0x50FFFFFF, 0x00FFFFFF,
                                                Gdiplus::LinearGradientModeVertical);
        if (gloss.get()) gdip::GdipFillEllipseI(graphics, gloss.get(), c.x - 45, c.y - 80, 90, 45);
    }

    FontFamily family = makeFontFamily();
    Font labelFont = makeFont(family, 20.0f, true);
    Font titleFont = makeFont(family, 18.0f, true);
    Font hintFont = makeFont(family, 14.0f, false);
    StringFormat centred = makeCentredFormat(true);
    StringFormat centredAcross = makeCentredFormat(false);

    const std::wstring label = utf8ToWide(look.label);
    SolidBrush shadow = makeSolidBrush(0x64000000);
    drawText(graphics, label, labelFont, static_cast<float>(c.x + 1), static_cast<float>(c.y + 2),
             shadow.get(), &centred);
    SolidBrush white = makeSolidBrush(0xFFFFFFFF);
    drawText(graphics, label, labelFont, static_cast<float>(c.x), static_cast<float>(c.y),
             white.get(), &centred);

    SolidBrush card = makeSolidBrush(Palette::cardFill);
    fillRoundedRect(graphics, card.get(), c.x - 150, height - 120, 300, 80, 16);
    drawText(graphics, utf8ToWide(look.title), titleFont, static_cast<float>(c.x),
             static_cast<float>(height - 100), white.get(), &centredAcross);
    SolidBrush secondary = makeSolidBrush(Palette::textSecondary);
    drawText(graphics, utf8ToWide(look.hint), hintFont, static_cast<float>(c.x),
             static_cast<float>(height - 75), secondary.get(), &centredAcross);
}
