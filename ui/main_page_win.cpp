// The main page: connect button with its halo, status card, settings icon.
#include "ui/draw_win.h"

namespace {

struct StateLook {
    ARGB halo;
    ARGB buttonFrom;
    ARGB buttonTo;
};

StateLook lookOf(ConnectionState state) {
    switch (state) {
    case Connected:
        return {0x6410B981, 0xFF1ED282, 0xFF0A9664};
    case Connecting:
        return {0x64F59E0B, 0xFFFFC832, 0xFFC88C0A};
    default:
        return {0, 0xFF3C8CFF, 0xFF005AC8};
    }
}

} // namespace

void drawConnectButton(GpGraphics* graphics, DrawingKit& kit, const Element& button,
                       ConnectionState state) {
    const PageCentre c = centreOf(button.box);
    const StateLook look = lookOf(state);
    // The phase is the window's: it moves one step per frame of the animation.
    if (state == Connecting || state == Connected) {
        const HaloSize halo = haloSize(view.pulsePhase);
        if (GpBrush* brush = kit.solid(look.halo)) {
            gdip::GdipFillEllipseI(graphics, brush, c.x - halo.radius, c.y - halo.radius,
                                   halo.diameter, halo.diameter);
        }
    }

    // Their boxes follow the button's place, so these are made per frame.
    const int r = px(buttonRadius);
    GradientBrush fill =
        makeGradientBrush(c.x - r, c.y - r, 2 * r, 2 * r, look.buttonFrom, look.buttonTo,
                          Gdiplus::LinearGradientModeForwardDiagonal);
    if (fill.get()) gdip::GdipFillEllipseI(graphics, fill.get(), c.x - r, c.y - r, 2 * r, 2 * r);
    GradientBrush gloss = makeGradientBrush(c.x - px(45), c.y - px(80), px(90), px(45), 0x50FFFFFF,
                                            0x00FFFFFF, Gdiplus::LinearGradientModeVertical);
    if (gloss.get())
        gdip::GdipFillEllipseI(graphics, gloss.get(), c.x - px(45), c.y - px(80), px(90), px(45));

    drawText(graphics, button.label, kit.buttonFont, static_cast<float>(c.x + px(1)),
             static_cast<float>(c.y + px(2)), kit.solid(0x64000000), &kit.centred);
    drawText(graphics, button.label, kit.buttonFont, static_cast<float>(c.x),
             static_cast<float>(c.y), kit.solid(0xFFFFFFFF), &kit.centred);
}

void drawButtonFocus(GpGraphics* graphics, DrawingKit& kit, const Element& button) {
    if (!view.focusRingShown || view.focus != Part::Button) return;
    // Outside the widest halo (95) and inside the halo's area (100).
    const PageCentre c = centreOf(button.box);
    const int r = px(buttonRadius + 6);
    if (kit.focusRing.get())
        gdip::GdipDrawEllipseI(graphics, kit.focusRing.get(), c.x - r, c.y - r, 2 * r, 2 * r);
}

void drawGear(GpGraphics* graphics, DrawingKit& kit, const Element& gear) {
    const PixelBox& tile = gear.box;
    fillRoundedRect(graphics, kit.solid(0x1EFFFFFF), tile.left, tile.top, tile.right - tile.left,
                    tile.bottom - tile.top, px(8));
    if (kit.gearRing.get())
        gdip::GdipDrawEllipseI(graphics, kit.gearRing.get(), tile.left + px(6), tile.top + px(6),
                               px(20), px(20));
}

void drawStatusCard(GpGraphics* graphics, DrawingKit& kit, int clientWidth, int clientHeight,
                    ConnectionState state) {
    const PageCentre c = pageCentre(clientWidth, clientHeight);
    const StatusTexts texts = statusTexts(state);
    const PixelBox card = statusCardBox(clientWidth, clientHeight);
    fillRoundedRect(graphics, kit.solid(Palette::cardFill), card.left, card.top,
                    card.right - card.left, card.bottom - card.top, px(16));
    drawText(graphics, texts.title, kit.statusTitleFont, static_cast<float>(c.x),
             static_cast<float>(clientHeight - px(100)), kit.solid(0xFFFFFFFF), &kit.centredAcross);
    drawText(graphics, texts.hint, kit.statusHintFont, static_cast<float>(c.x),
             static_cast<float>(clientHeight - px(75)), kit.solid(Palette::textSecondary),
             &kit.centredAcross);
}
