// The settings page: two preference switches and the Back button.
#include "api/http.h"
#include "ui/draw_win.h"

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

    drawText(graphics, utf8ToWide("Настройки"), kit.headerFont, 300.0f, 40.0f, text);

    fillRoundedRect(graphics, card, 300, 100, width - 80, 60, 12);
    drawText(graphics, L"Kill Switch", kit.settingsItemFont, 320.0f, 120.0f, text);
    fillRoundedRect(graphics, switchBrush(appState.killSwitchEnabled), width + 170, 115, 30, 30, 4);

    fillRoundedRect(graphics, card, 300, 180, width - 80, 60, 12);
    drawText(graphics, utf8ToWide("Автостарт"), kit.settingsItemFont, 320.0f, 200.0f, text);
    fillRoundedRect(graphics, switchBrush(appState.autostartEnabled), width + 170, 195, 30, 30, 4);

    fillRoundedRect(graphics, kit.solid(backButton), 300, height - 80, 120, 40, 8);
    drawText(graphics, utf8ToWide("Назад"), kit.settingsItemFont, 340.0f,
             static_cast<float>(height - 70), text);
}
