// The settings page: two preference switches and the Back button.
#include "api/http.h"
#include "ui/draw_win.h"

namespace {

constexpr ARGB switchOff = 0xFF646464;
constexpr ARGB backButton = 0xFF1E2332;

} // namespace

void drawSettingsPage(GpGraphics* graphics, int width, int height) {
    fillPageBackground(graphics, width, height);

    FontFamily family = makeFontFamily();
    Font titleFont = makeFont(family, 24.0f, true);
    Font itemFont = makeFont(family, 17.0f, false);
    SolidBrush text = makeSolidBrush(Palette::textPrimary);
    SolidBrush card = makeSolidBrush(Palette::cardFill);
    SolidBrush on = makeSolidBrush(Palette::accent);
    SolidBrush off = makeSolidBrush(switchOff);

    drawText(graphics, utf8ToWide("Настройки"), titleFont, 300.0f, 40.0f, text.get());

    fillRoundedRect(graphics, card.get(), 300, 100, width - 80, 60, 12);
    drawText(graphics, L"Kill Switch", itemFont, 320.0f, 120.0f, text.get());
    fillRoundedRect(graphics, appState.killSwitchEnabled ? on.get() : off.get(), width + 170, 115,
                    30, 30, 4);

    fillRoundedRect(graphics, card.get(), 300, 180, width - 80, 60, 12);
    drawText(graphics, utf8ToWide("Автостарт"), itemFont, 320.0f, 200.0f, text.get());
    fillRoundedRect(graphics, appState.autostartEnabled ? on.get() : off.get(), width + 170, 195,
                    30, 30, 4);

    SolidBrush back = makeSolidBrush(backButton);
    fillRoundedRect(graphics, back.get(), 300, height - 80, 120, 40, 8);
    drawText(graphics, utf8ToWide("Назад"), itemFont, 340.0f, static_cast<float>(height - 70),
             text.get());
}
