// The settings page: two preference switches and the Back button.
#include "core/text.h"
#include "ui/draw_win.h"
#include "ui/layout.h"

namespace {

constexpr ARGB switchOff = 0xFF646464;
constexpr ARGB backButton = 0xFF1E2332;

} // namespace

void drawSettingsContent(GpGraphics* graphics, DrawingKit& kit, int width, int height) {
    GpBrush* text = kit.solid(Palette::textPrimary);
    GpBrush* card = kit.solid(Palette::cardFill);
    const auto switchBrush = [&kit](bool on) {
        return kit.solid(on ? Palette::accent : switchOff);
    };
    const auto at = [](int length) { return static_cast<float>(px(length)); };
    // The cards end 40 pixels before the window's side, the switches 60.
    const int clientWidth = width + panelWidth();
    const int cardWidth = clientWidth - px(40) - px(300);
    const int switchLeft = clientWidth - px(90);

    drawText(graphics, utf8ToWide("Настройки"), kit.headerFont, at(300), at(40), text);

    fillRoundedRect(graphics, card, px(300), px(100), cardWidth, px(60), px(12));
    drawText(graphics, L"Kill Switch", kit.settingsItemFont, at(320), at(120), text);
    fillRoundedRect(graphics, switchBrush(appState.killSwitchEnabled), switchLeft, px(115), px(30),
                    px(30), px(4));

    fillRoundedRect(graphics, card, px(300), px(180), cardWidth, px(60), px(12));
    drawText(graphics, utf8ToWide("Автостарт"), kit.settingsItemFont, at(320), at(200), text);
    fillRoundedRect(graphics, switchBrush(appState.autostartEnabled), switchLeft, px(195), px(30),
                    px(30), px(4));

    fillRoundedRect(graphics, kit.solid(backButton), px(300), height - px(80), px(120), px(40),
                    px(8));
    drawText(graphics, utf8ToWide("Назад"), kit.settingsItemFont, at(340),
             static_cast<float>(height - px(70)), text);
}
