#include "ui/elements.h"

#include <algorithm>
#include <cstdint>

const wchar_t* const headerText = L"Sovelin";
const wchar_t* const settingsTitle = L"Настройки";

namespace {

const wchar_t* const notProtected = L"Вы не защищены";
const wchar_t* const pressToStart = L"Нажмите для запуска.";

Scene sceneNow(int clientWidth, int clientHeight, ConnectionState state) {
    Scene s;
    s.clientWidth = clientWidth;
    s.clientHeight = clientHeight;
    s.dpi = view.dpi;
    s.connection = state;
    s.settingsPageShown = view.settingsPageShown;
    s.rows = currentLocations();
    s.firstRow = firstRowShown(s.rows ? s.rows->size() : 0, clientHeight);
    s.selected = appState.selectedIndex.load();
    s.hovered = view.hoveredIndex;
    s.killSwitch = appState.killSwitchEnabled.load();
    s.autostart = appState.autostartEnabled;
    return s;
}

// The part of a region that lies in an area; empty when they do not meet.
PixelBox within(const PixelBox& region, const PixelBox& area) {
    const PixelBox b = {std::max(region.left, area.left), std::max(region.top, area.top),
                        std::min(region.right, area.right), std::min(region.bottom, area.bottom)};
    return b.left < b.right && b.top < b.bottom ? b : PixelBox{0, 0, 0, 0};
}

Element element(Part part, Role role, Action action, std::wstring label, const PixelBox& box) {
    Element e;
    e.part = part;
    e.role = role;
    e.action = action;
    e.label = std::move(label);
    e.box = box;
    return e;
}

// The regions a press reaches are as they have always been: wider than the
// drawn shapes (the switches over their card's height, the gear's and
// Back's a little off the tile and the button), each range inclusive.
void addMainPage(ElementTable& t, const PixelBox& page) {
    const Scene& s = t.scene;
    const int w = s.clientWidth;
    const PageCentre c = pageCentre(w, s.clientHeight);
    const int r = px(buttonRadius);
    const StatusTexts texts = statusTexts(s.connection);
    Element button = element(Part::Button, Role::PushButton, Action::ToggleConnection, texts.label,
                             {c.x - r, c.y - r, c.x + r, c.y + r});
    button.reach = within(button.box, page);
    button.round = true;
    button.description = texts.title + L". " + texts.hint;
    button.busy = s.connection == Connecting;
    t.elements.push_back(std::move(button));

    Element gear = element(Part::Gear, Role::PushButton, Action::OpenSettings, settingsTitle,
                           {w - px(50), px(30), w - px(18), px(62)});
    gear.reach = within({w - px(62) + 1, px(31), w, px(61) + 1}, page);
    t.elements.push_back(std::move(gear));
}

void addSettingsPage(ElementTable& t, const PixelBox& page) {
    const Scene& s = t.scene;
    const int w = s.clientWidth;
    const int h = s.clientHeight;
    const auto addSwitch = [&](Part part, Action action, const wchar_t* label, int top, bool on) {
        Element e = element(part, Role::CheckButton, action, label,
                            {w - px(90), px(top + 15), w - px(60), px(top + 45)});
        e.reach = within({w - px(90) + 1, px(top + 1), w, px(top + 59) + 1}, page);
        e.checked = on;
        t.elements.push_back(std::move(e));
    };
    addSwitch(Part::KillSwitch, Action::FlipKillSwitch, L"Kill Switch", 100, s.killSwitch);
    addSwitch(Part::Autostart, Action::FlipAutostart, L"Автостарт", 180, s.autostart);
    Element back = element(Part::Back, Role::PushButton, Action::CloseSettings, L"Назад",
                           {px(300), h - px(80), px(420), h - px(40)});
    back.reach = within({px(301), h - px(80) + 1, px(419) + 1, h}, page);
    t.elements.push_back(std::move(back));
}

// One per location; those scrolled away or below the window have no box.
void addRows(ElementTable& t) {
    const Scene& s = t.scene;
    if (!s.rows) return;
    const PixelBox panel = {0, 0, panelWidth(), s.clientHeight};
    const int count = static_cast<int>(s.rows->size());
    for (int i = 0; i < count; ++i) {
        Element e = element(Part::List, Role::ListItem, Action::ChooseRow,
                            (*s.rows)[static_cast<std::size_t>(i)].displayName, {0, 0, 0, 0});
        e.row = i;
        const int place = i - s.firstRow;
        // The band includes its last pixel, which the highlight's outline reaches.
        const int top = rowTop(place);
        if (place >= 0 && top < s.clientHeight) {
            e.box = {px(10), top, px(250), top + rowBandHeight() + 1};
            e.reach = within({0, e.box.top, panelWidth(), e.box.bottom}, panel);
        }
        e.selected = i == s.selected;
        e.hovered = i == s.hovered;
        t.elements.push_back(std::move(e));
    }
}

ElementTable makeElements(const Scene& scene) {
    ElementTable t;
    t.scene = scene;
    const int w = scene.clientWidth;
    const int h = scene.clientHeight;
    t.elements.reserve(4 + (scene.rows ? scene.rows->size() : 0));
    // The panel's label names the list.
    t.elements.push_back(element(Part::List, Role::List, Action::ToggleConnection, L"СЕРВЕРЫ",
                                 {0, rowTop(0), panelWidth(), h}));
    const PixelBox page = {panelWidth(), 0, w, h};
    if (scene.settingsPageShown) {
        addSettingsPage(t, page);
    } else {
        addMainPage(t, page);
    }
    t.partCount = t.elements.size();
    addRows(t);
    return t;
}

} // namespace

const Element* ElementTable::find(Part part) const {
    for (std::size_t i = 0; i < partCount; ++i)
        if (elements[i].part == part) return &elements[i];
    return nullptr;
}

const Element* ElementTable::row(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= rows().size()) return nullptr;
    return &rows()[static_cast<std::size_t>(index)];
}

ElementTable& windowElements(int clientWidth, int clientHeight, ConnectionState state) {
    static ElementTable table;
    static bool made = false;
    const Scene now = sceneNow(clientWidth, clientHeight, state);
    if (!made || !(now == table.scene)) {
        table = makeElements(now);
        made = true;
    }
    return table;
}

bool reaches(const Element& e, int x, int y) {
    const PixelBox& r = e.reach;
    if (x < r.left || x >= r.right || y < r.top || y >= r.bottom) return false;
    if (!e.round) return true;
    const PageCentre c = centreOf(e.box);
    // 64-bit: a far corner of a huge window must not overflow the square.
    const std::int64_t dx = x - c.x;
    const std::int64_t dy = y - c.y;
    const std::int64_t radius = (e.box.right - e.box.left) / 2;
    return dx * dx + dy * dy < radius * radius;
}

const Element* rowAt(const ElementTable& table, int x, int y) {
    for (const Element& row : table.rows())
        if (reaches(row, x, y)) return &row;
    return nullptr;
}

PixelBox haloArea(const ElementTable& table) {
    const Element* button = table.find(Part::Button);
    if (!button) return {0, 0, 0, 0};
    const int reach = px(buttonRadius + 10);
    const PageCentre c = centreOf(button->box);
    return {c.x - reach, c.y - reach, c.x + reach, c.y + reach};
}

bool haloAreaStandsAlone(const ElementTable& table) {
    const Element* gearElement = table.find(Part::Gear);
    if (!gearElement) return false;
    const int w = table.scene.clientWidth;
    const int h = table.scene.clientHeight;
    const PixelBox a = haloArea(table);
    // Two pixels off every other shape: anti-aliased edges spill into one.
    constexpr int gap = 2;
    const bool inPage =
        a.left >= panelWidth() + gap && a.top >= gap && a.right <= w - gap && a.bottom <= h - gap;
    const PixelBox& gear = gearElement->box;
    // The gear's focus ring reaches a few pixels past the tile.
    const bool clearOfGear =
        a.right <= gear.left - px(4) - gap || a.top >= gear.bottom + px(4) + gap;
    // The card is wider than the area, so only its top matters.
    const bool clearOfCard = a.bottom <= statusCardBox(w, h).top - gap;
    return inPage && clearOfGear && clearOfCard;
}

PixelBox statusCardArea(const ElementTable& table) {
    const int w = table.scene.clientWidth;
    const int h = table.scene.clientHeight;
    return {panelWidth() + 2, statusCardBox(w, h).top - 2, w, h};
}

bool statusCardStandsAlone(const ElementTable& table) {
    // The card's edge two pixels inside the band.
    return haloAreaStandsAlone(table) &&
           statusCardBox(table.scene.clientWidth, table.scene.clientHeight).left - 2 >=
               panelWidth() + 2;
}

StatusTexts statusTexts(ConnectionState state) {
    switch (state) {
    case Connected:
        return {L"ЗАЩИЩЕНО", L"Соединение установлено", L"Ваш IP скрыт."};
    case Connecting:
        return {L"РАБОТАЕТ", notProtected, pressToStart};
    default:
        return {L"СТАРТ", notProtected, pressToStart};
    }
}

const wchar_t* actionName(Action action) {
    switch (action) {
    case Action::ChooseRow:
        return L"Выбрать";
    case Action::FlipKillSwitch:
    case Action::FlipAutostart:
        return L"Переключить";
    default:
        return L"Нажать";
    }
}
