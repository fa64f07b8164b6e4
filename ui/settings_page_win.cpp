// The settings page: two preference switches and the Back button.
#include "ui/draw_win.h"

namespace {

constexpr ARGB switchOff = 0xFF646464;
constexpr ARGB backButton = 0xFF1E2332;

} // namespace

void drawSettingsContent(GpGraphics* graphics, DrawingKit& kit, const ElementTable& table) {
    GpBrush* text = kit.solid(Palette::textPrimary);
    GpBrush* card = kit.solid(Palette::cardFill);
    const auto at = [](int length) { return static_cast<float>(px(length)); };
    // The cards end 40 pixels before the window's side.
    const int cardWidth = table.scene.clientWidth - px(40) - px(300);

    drawText(graphics, settingsTitle, kit.headerFont, at(300), at(40), text);
    // A card with its switch's label, and the switch where the table has it.
    const auto drawSwitch = [&](Part part, int cardTop) {
        fillRoundedRect(graphics, card, px(300), px(cardTop), cardWidth, px(60), px(12));
        const Element* e = table.find(part);
        if (!e) return;
        drawText(graphics, e->label, kit.settingsItemFont, at(320), at(cardTop + 20), text);
        fillRoundedRect(graphics, kit.solid(e->checked ? Palette::accent : switchOff), e->box.left,
                        e->box.top, px(30), px(30), px(4));
    };
    drawSwitch(Part::KillSwitch, 100);
    drawSwitch(Part::Autostart, 180);

    if (const Element* back = table.find(Part::Back)) {
        const PixelBox& b = back->box;
        fillRoundedRect(graphics, kit.solid(backButton), b.left, b.top, px(120), px(40), px(8));
        // The label was placed from the window's bottom: 70 up, where the button is 80.
        drawText(graphics, back->label, kit.settingsItemFont,
                 static_cast<float>(b.left + span(300, 340)),
                 static_cast<float>(b.top + span(70, 80)), text);
    }
}
