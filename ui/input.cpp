#include "ui/input.h"

#include <algorithm>

namespace {

std::size_t rowCount() {
    const auto list = currentLocations();
    return list ? list->size() : 0;
}

const ElementTable& elementsNow(int clientWidth, int clientHeight) {
    return windowElements(clientWidth, clientHeight, appState.connectionState.load());
}

// The scroll that shows row whole (or as much as the window can).
void scrollIntoView(int row, int clientHeight) {
    const std::size_t count = rowCount();
    int first = firstRowShown(count, clientHeight);
    const int whole = std::max(rowsWholeWithin(clientHeight), 1);
    if (row < first) first = row;
    if (row >= first + whole) first = row - whole + 1;
    view.firstRow = std::clamp(first, 0, lastFirstRow(count, clientHeight));
}

void moveFocus(PressEffects& effects, Part to) {
    if (view.focus != to) effects.focusMoved = true;
    view.focus = to;
    effects.repaint = effects.repaint || effects.focusMoved;
}

// A row chosen by a press or a key: a change while connected ends the
// connection (the new row is not connected to; the user starts again).
void selectRow(PressEffects& effects, int row, int clientHeight) {
    const ConnectionState before = appState.connectionState.load();
    const int was = appState.selectedIndex.exchange(row);
    effects.selectionMoved = was != row;
    effects.toggleConnection = effects.toggleConnection || before == Connected;
    effects.repaint = true;
    scrollIntoView(row, clientHeight);
}

void showSettings(PressEffects& effects, bool shown) {
    view.settingsPageShown = shown;
    effects.repaint = true;
    moveFocus(effects, shown ? Part::KillSwitch : Part::Gear);
    effects.focusMoved = true; // the page's elements are others
}

template <class Preference> void flip(PressEffects& effects, Preference& preference) {
    preference = !preference;
    effects.saveSettings = true;
    effects.repaint = true;
}

// The one way an element is pressed. A row press never connects; it only
// ends a running connection, also when the row is the one already chosen.
// The toggle asks for its own repaint when the state changes.
void press(PressEffects& effects, const Element& e, int clientHeight) {
    switch (e.action) {
    case Action::ToggleConnection:
        effects.toggleConnection = true;
        break;
    case Action::ChooseRow:
        selectRow(effects, e.row, clientHeight);
        break;
    case Action::OpenSettings:
        showSettings(effects, true);
        break;
    case Action::CloseSettings:
        showSettings(effects, false);
        break;
    case Action::FlipKillSwitch:
        flip(effects, appState.killSwitchEnabled);
        break;
    case Action::FlipAutostart:
        flip(effects, appState.autostartEnabled);
        break;
    }
    // The focus follows the press, unless it took the element's page away.
    if (partShown(e.part)) moveFocus(effects, e.part);
}

} // namespace

bool partShown(Part part) {
    const bool onSettings = part >= Part::KillSwitch;
    return onSettings == view.settingsPageShown;
}

Part focusedPart() {
    if (partShown(view.focus)) return view.focus;
    return view.settingsPageShown ? Part::KillSwitch : Part::List;
}

PressEffects pressAt(int x, int y, int clientWidth, int clientHeight) {
    // Taken from the table first: a press may change what it shows.
    std::vector<Element> pressed;
    for (const Element& e : elementsNow(clientWidth, clientHeight).elements)
        if (reaches(e, x, y)) pressed.push_back(e);
    PressEffects effects;
    for (const Element& e : pressed)
        press(effects, e, clientHeight);
    return effects;
}

PressEffects pressElement(Part part, int row, int clientWidth, int clientHeight) {
    const ElementTable& table = elementsNow(clientWidth, clientHeight);
    const Element* found = row >= 0 ? table.row(row) : table.find(part);
    PressEffects effects;
    if (found && found->part == part) {
        const Element e = *found;
        press(effects, e, clientHeight);
    }
    return effects;
}

PressEffects keyPressed(Key key, int clientWidth, int clientHeight) {
    PressEffects effects;
    // The focus of the other page (a page changed by a press) starts at its first.
    view.focus = focusedPart();
    const bool settings = view.settingsPageShown;
    const int first = settings ? static_cast<int>(Part::KillSwitch) : 0;
    const int at = static_cast<int>(view.focus) - first;
    switch (key) {
    case Key::Tab:
    case Key::BackTab:
        moveFocus(effects, static_cast<Part>(first + (at + (key == Key::Tab ? 1 : 2)) % 3));
        return effects;
    case Key::Escape:
        if (settings) showSettings(effects, false);
        return effects;
    case Key::Enter:
    case Key::Space:
        if (const Element* e = elementsNow(clientWidth, clientHeight).find(view.focus)) {
            const Element focused = *e;
            press(effects, focused, clientHeight);
        }
        return effects;
    default:
        break;
    }
    // The rest move the selection in the list, from the main page.
    const int count = static_cast<int>(rowCount());
    if (settings || count == 0) return effects;
    const int page = std::max(rowsWholeWithin(clientHeight) - 1, 1);
    const int current = std::clamp(appState.selectedIndex.load(), 0, count - 1);
    int next = current;
    switch (key) {
    case Key::Up:
        next = current - 1;
        break;
    case Key::Down:
        next = current + 1;
        break;
    case Key::Home:
        next = 0;
        break;
    case Key::End:
        next = count - 1;
        break;
    case Key::PageUp:
        next = current - page;
        break;
    case Key::PageDown:
        next = current + page;
        break;
    default:
        break;
    }
    next = std::clamp(next, 0, count - 1);
    moveFocus(effects, Part::List);
    if (next != appState.selectedIndex.load()) selectRow(effects, next, clientHeight);
    return effects;
}

bool wheelTurned(int delta, int clientWidth, int clientHeight) {
    view.wheelRest += delta;
    const int rows = view.wheelRest / 120;
    view.wheelRest -= rows * 120;
    const std::size_t count = rowCount();
    const int before = firstRowShown(count, clientHeight);
    view.firstRow = std::clamp(before - rows, 0, lastFirstRow(count, clientHeight));
    if (view.firstRow == before) return false;
    // The rows move under a still pointer.
    if (view.pointerX >= 0 && view.pointerX < panelWidth()) {
        const Element* row =
            rowAt(elementsNow(clientWidth, clientHeight), view.pointerX, view.pointerY);
        view.hoveredIndex = row ? row->row : -1;
    }
    return true;
}

bool pointerMovedTo(int x, int y, int clientWidth, int clientHeight) {
    view.pointerX = x;
    view.pointerY = y;
    const Element* row = rowAt(elementsNow(clientWidth, clientHeight), x, y);
    const int index = row ? row->row : -1;
    if (index == view.hoveredIndex) return false;
    view.hoveredIndex = index;
    return true;
}
