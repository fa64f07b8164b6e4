// One table of what the window shows: each element's box, where a press
// reaches it, its role, label and state, and what a press does. The
// painters, hit-testing and the screen readers' tree all read it, so that
// nothing is placed or named twice. It is made again when anything it shows
// has changed.
#pragma once

#include "core/state.h"
#include "ui/layout.h"

#include <memory>
#include <span>
#include <string>
#include <vector>

enum class Role { List, ListItem, PushButton, CheckButton };

// What a press does, whether it comes from the mouse, a key or a screen
// reader.
enum class Action {
    ToggleConnection,
    ChooseRow,
    OpenSettings,
    CloseSettings,
    FlipKillSwitch,
    FlipAutostart
};

struct Element {
    Part part = Part::List;
    int row = -1; // a row of the list: its index in the catalogue
    Role role = Role::PushButton;
    Action action = Action::ToggleConnection;
    // Where it is drawn, and what a screen reader is told; empty while it is
    // out of view. The painters place their shapes from its top-left corner.
    PixelBox box = {0, 0, 0, 0};
    // Where a pointer press lands; empty when none does. A press in the panel
    // reaches only the rows, one on the page only the page's elements.
    PixelBox reach = {0, 0, 0, 0};
    bool round = false; // ... and only within the disc that fills box
    std::wstring label; // the text it shows, and its name for a screen reader
    std::wstring description;
    bool selected = false;
    bool hovered = false;
    bool checked = false;
    bool busy = false; // a connection is being made

    bool shown() const { return box.right > box.left; }
};

// Everything the table shows, read at once, so that a frame and a screen
// reader's answer each agree with themselves.
struct Scene {
    int clientWidth = 0;
    int clientHeight = 0;
    int dpi = designDpi;
    ConnectionState connection = Disconnected;
    bool settingsPageShown = false;
    std::shared_ptr<const LocationList> rows;
    int firstRow = 0; // as shown
    int selected = 0;
    int hovered = -1;
    bool killSwitch = false;
    bool autostart = false;
    bool operator==(const Scene&) const = default;
};

struct ElementTable {
    Scene scene;
    // The list, the page's elements in the order a screen reader meets them,
    // then one element per row of the catalogue.
    std::vector<Element> elements;
    std::size_t partCount = 0; // the elements before the rows

    const Element* find(Part part) const; // not a row
    const Element* row(int index) const;
    std::span<const Element> rows() const {
        return {elements.data() + partCount, elements.size() - partCount};
    }
    const Location& locationOf(const Element& row) const {
        return (*scene.rows)[static_cast<std::size_t>(row.row)];
    }
};

// The window's table at this client size and connection state, with the
// catalogue, the preferences and the view as they are now; made again only
// when something in it has changed. UI thread only: the reference is good
// until the next call.
ElementTable& windowElements(int clientWidth, int clientHeight, ConnectionState state);

bool reaches(const Element& element, int x, int y);
const Element* rowAt(const ElementTable& table, int x, int y); // or nullptr

// The square around the button that the halo breathes in: its widest ring
// (radius 95 at most) and a margin for the anti-aliased edge. Empty without
// a button.
PixelBox haloArea(const ElementTable& table);
// True when nothing but the page background is drawn in haloArea (not the
// panel, the gear tile, the card, nor an edge of the page), so that the area
// can be repainted alone; small windows repaint whole.
bool haloAreaStandsAlone(const ElementTable& table);
// The band along the page's bottom that holds the status card, from the
// panel's side to the window's; the card alone is drawn there when
// statusCardStandsAlone (the halo's area stands alone too, and the card
// keeps off the panel).
PixelBox statusCardArea(const ElementTable& table);
bool statusCardStandsAlone(const ElementTable& table);

// What the main page says in a state: the button's label and the status
// card's two lines.
struct StatusTexts {
    std::wstring label, title, hint;
};
StatusTexts statusTexts(ConnectionState state);
extern const wchar_t* const headerText;    // the panel's header
extern const wchar_t* const settingsTitle; // the settings page's title, and the gear's name
const wchar_t* actionName(Action action);  // a screen reader's name of the default action
