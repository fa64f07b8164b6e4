// IAccessible by hand (MinGW has oleacc, not the UI Automation provider
// headers). The client object answers for itself through the system's
// standard object and for the painted elements from appState and view; the
// list is an object of its own whose children are the rows.
#include "ui/accessible_win.h"

#include "ui/draw_win.h"
#include "ui/layout.h"

// The interface ids by __uuidof: MinGW's oleacc import library also names
// IID_IAccessible, as a stub of code.
#include <oleacc.h>

#include <string>

namespace {

enum class Part { Self, List, Button, Gear, KillSwitch, Autostart, Back, Row, None };

struct Element {
    Part part = Part::None;
    int row = -1;
};

std::size_t rowCount() {
    const auto list = currentLocations();
    return list ? list->size() : 0;
}

// The client object's children: the list, then the page's elements.
constexpr Part mainChildren[] = {Part::List, Part::Button, Part::Gear};
constexpr Part settingsChildren[] = {Part::List, Part::KillSwitch, Part::Autostart, Part::Back};

long childCount(bool isList) {
    if (isList) return static_cast<long>(rowCount());
    return view.settingsPageShown ? 4 : 3;
}

Element elementOf(bool isList, const VARIANT& child) {
    if (child.vt != VT_I4) return {};
    const long id = child.lVal;
    if (id == CHILDID_SELF) return {isList ? Part::List : Part::Self};
    const long rows = static_cast<long>(rowCount());
    if (isList)
        return id >= 1 && id <= rows ? Element{Part::Row, static_cast<int>(id - 1)} : Element{};
    if (id >= firstRowChildId && id < firstRowChildId + rows)
        return {Part::Row, static_cast<int>(id - firstRowChildId)};
    if (id < 1 || id > childCount(false)) return {};
    return {view.settingsPageShown ? settingsChildren[id - 1] : mainChildren[id - 1]};
}

long childIdOf(Part part) {
    const Part* parts = view.settingsPageShown ? settingsChildren : mainChildren;
    for (long i = 0; i < childCount(false); ++i)
        if (parts[i] == part) return i + 1;
    return CHILDID_SELF;
}

Part partOf(Focus focus) {
    switch (focus) {
    case Focus::List:
        return Part::List;
    case Focus::Button:
        return Part::Button;
    case Focus::Gear:
        return Part::Gear;
    case Focus::KillSwitch:
        return Part::KillSwitch;
    case Focus::Autostart:
        return Part::Autostart;
    case Focus::Back:
        return Part::Back;
    }
    return Part::None;
}

// The focused element of the current page, as the window shows it.
Part focusedPart() {
    const Part part = partOf(view.focus);
    const bool onSettings = view.focus >= Focus::KillSwitch;
    if (onSettings != view.settingsPageShown)
        return view.settingsPageShown ? Part::KillSwitch : Part::List;
    return part;
}

struct Client {
    int width = 0, height = 0;
};
Client clientOf(HWND window) {
    RECT r;
    GetClientRect(window, &r);
    return {r.right, r.bottom};
}

// The element's box in client pixels; empty when it is not shown.
PixelBox boxOf(HWND window, const Element& e) {
    const Client c = clientOf(window);
    const auto switchAt = [&](int top) {
        return PixelBox{c.width - px(90), px(top), c.width - px(60), px(top + 30)};
    };
    switch (e.part) {
    case Part::List:
        return {0, rowTop(0), panelWidth(), c.height};
    case Part::Row: {
        const int place = e.row - firstRowShown(rowCount(), c.height);
        if (place < 0 || rowTop(place) >= c.height) return {};
        return {px(10), rowTop(place), px(250), rowTop(place) + rowBandHeight() + 1};
    }
    case Part::Button: {
        const PageCentre p = pageCentre(c.width, c.height);
        const int r = px(buttonRadius);
        return {p.x - r, p.y - r, p.x + r, p.y + r};
    }
    case Part::Gear:
        return gearTileBox(c.width);
    case Part::KillSwitch:
        return switchAt(115);
    case Part::Autostart:
        return switchAt(195);
    case Part::Back:
        return {px(300), c.height - px(80), px(420), c.height - px(40)};
    default:
        return {};
    }
}

std::wstring nameOf(const Element& e) {
    switch (e.part) {
    case Part::List:
        return L"\u0421\u0415\u0420\u0412\u0415\u0420\u042b"; // the panel's label
    case Part::Row: {
        const auto list = currentLocations();
        return list && e.row < static_cast<int>(list->size()) ? (*list)[e.row].displayName
                                                              : std::wstring();
    }
    case Part::Button:
        return statusTexts(appState.connectionState.load()).label;
    case Part::Gear:
        return L"\u041d\u0430\u0441\u0442\u0440\u043e\u0439\u043a\u0438";
    case Part::KillSwitch:
        return L"Kill Switch";
    case Part::Autostart:
        return L"\u0410\u0432\u0442\u043e\u0441\u0442\u0430\u0440\u0442";
    case Part::Back:
        return L"\u041d\u0430\u0437\u0430\u0434";
    default:
        return {};
    }
}

long roleOf(Part part) {
    switch (part) {
    case Part::List:
        return ROLE_SYSTEM_LIST;
    case Part::Row:
        return ROLE_SYSTEM_LISTITEM;
    case Part::KillSwitch:
    case Part::Autostart:
        return ROLE_SYSTEM_CHECKBUTTON;
    default:
        return ROLE_SYSTEM_PUSHBUTTON;
    }
}

long stateOf(HWND window, const Element& e) {
    long state = STATE_SYSTEM_FOCUSABLE;
    const bool focused = GetFocus() == window;
    if (e.part == Part::Row) {
        const bool selected = e.row == appState.selectedIndex.load();
        state |= STATE_SYSTEM_SELECTABLE | (selected ? STATE_SYSTEM_SELECTED : 0);
        if (selected && focused && focusedPart() == Part::List) state |= STATE_SYSTEM_FOCUSED;
        const PixelBox b = boxOf(window, e);
        if (b.right <= b.left) state |= STATE_SYSTEM_OFFSCREEN | STATE_SYSTEM_INVISIBLE;
        return state;
    }
    if (focused && focusedPart() == e.part && e.part != Part::List) state |= STATE_SYSTEM_FOCUSED;
    if ((e.part == Part::KillSwitch && appState.killSwitchEnabled) ||
        (e.part == Part::Autostart && appState.autostartEnabled))
        state |= STATE_SYSTEM_CHECKED;
    if (e.part == Part::Button && appState.connectionState.load() == Connecting)
        state |= STATE_SYSTEM_BUSY;
    return state;
}

HRESULT answerText(const std::wstring& text, BSTR* out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (text.empty()) return S_FALSE;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

void setId(VARIANT* v, long id) {
    VariantInit(v);
    v->vt = VT_I4;
    v->lVal = id;
}

class Accessible final : public IAccessible {
  public:
    // The client object (parent null) or the list (its parent the client).
    Accessible(HWND window, Accessible* parent) : window(window), parent(parent) {
        if (parent) {
            parent->AddRef();
        } else {
            CreateStdAccessibleObject(window, OBJID_CLIENT, __uuidof(IAccessible),
                                      reinterpret_cast<void**>(&standard));
        }
    }
    Accessible(const Accessible&) = delete;
    Accessible& operator=(const Accessible&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
        if (!out) return E_POINTER;
        if (id == __uuidof(IUnknown) || id == __uuidof(IDispatch) || id == __uuidof(IAccessible)) {
            *out = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&refs);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    // IDispatch: names are not offered to scripts.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    // IAccessible
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (parent)
            return parent->QueryInterface(__uuidof(IDispatch), reinterpret_cast<void**>(out));
        return standard ? standard->get_accParent(out) : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* out) override {
        if (!out) return E_INVALIDARG;
        *out = childCount(isList());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        const Element e = elementOf(isList(), child);
        if (e.part == Part::None) return E_INVALIDARG;
        if (e.part == Part::List && !isList()) {
            *out = new Accessible(window, this); // one reference, the caller's
            return S_OK;
        }
        return S_FALSE; // a simple element: ask this object with its id
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* out) override {
        const Element e = elementOf(isList(), child);
        if (e.part == Part::Self) return standard ? standard->get_accName(child, out) : S_FALSE;
        if (e.part == Part::None) return E_INVALIDARG;
        return answerText(nameOf(e), out);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* out) override {
        const Element e = elementOf(isList(), child);
        if (e.part == Part::None) return E_INVALIDARG;
        // The list's value is the chosen row, as a list box has.
        if (e.part == Part::List)
            return answerText(nameOf({Part::Row, appState.selectedIndex}), out);
        return answerText({}, out);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* out) override {
        const Element e = elementOf(isList(), child);
        if (e.part == Part::None) return E_INVALIDARG;
        if (e.part != Part::Button) return answerText({}, out);
        const StatusTexts texts = statusTexts(appState.connectionState.load());
        return answerText(texts.title + L". " + texts.hint, out);
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* out) override {
        if (!out) return E_INVALIDARG;
        const Element e = elementOf(isList(), child);
        if (e.part == Part::Self) return standard ? standard->get_accRole(child, out) : S_FALSE;
        if (e.part == Part::None) return E_INVALIDARG;
        setId(out, roleOf(e.part));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* out) override {
        if (!out) return E_INVALIDARG;
        const Element e = elementOf(isList(), child);
        if (e.part == Part::Self) return standard ? standard->get_accState(child, out) : S_FALSE;
        if (e.part == Part::None) return E_INVALIDARG;
        setId(out, stateOf(window, e));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT, BSTR* out) override {
        return answerText({}, out);
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT, long* topic) override {
        if (file) *file = nullptr;
        if (topic) *topic = 0;
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT, BSTR* out) override {
        return answerText({}, out);
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* out) override {
        if (!out) return E_INVALIDARG;
        VariantInit(out);
        if (GetFocus() != window) return S_FALSE;
        const Part part = focusedPart();
        if (part == Part::List) {
            const int row = appState.selectedIndex.load();
            const bool hasRow = row >= 0 && static_cast<std::size_t>(row) < rowCount();
            setId(out, hasRow ? (isList() ? row + 1 : firstRowChildId + row) : CHILDID_SELF);
        } else if (!isList()) {
            setId(out, childIdOf(part));
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* out) override {
        if (!out) return E_INVALIDARG;
        VariantInit(out);
        const int row = appState.selectedIndex.load();
        if (!isList() || row < 0 || static_cast<std::size_t>(row) >= rowCount()) return S_FALSE;
        setId(out, row + 1);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT, BSTR* out) override {
        return answerText({}, out);
    }
    HRESULT STDMETHODCALLTYPE accSelect(long, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height,
                                          VARIANT child) override {
        if (!left || !top || !width || !height) return E_INVALIDARG;
        const Element e = elementOf(isList(), child);
        if (e.part == Part::Self && standard)
            return standard->accLocation(left, top, width, height, child);
        if (e.part == Part::None) return E_INVALIDARG;
        const PixelBox b = boxOf(window, e);
        POINT origin = {b.left, b.top};
        ClientToScreen(window, &origin);
        *left = origin.x;
        *top = origin.y;
        *width = b.right - b.left;
        *height = b.bottom - b.top;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accNavigate(long, VARIANT, VARIANT* out) override {
        if (out) VariantInit(out);
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* out) override {
        if (!out) return E_INVALIDARG;
        VariantInit(out);
        POINT p = {x, y};
        ScreenToClient(window, &p);
        const Client c = clientOf(window);
        if (p.x < 0 || p.y < 0 || p.x >= c.width || p.y >= c.height) return S_FALSE;
        const auto inside = [&](const PixelBox& b) {
            return p.x >= b.left && p.x < b.right && p.y >= b.top && p.y < b.bottom;
        };
        if (p.x < panelWidth()) {
            const int row = hitTestRow(p.y, c.height);
            if (isList()) {
                setId(out, row >= 0 ? row + 1 : CHILDID_SELF);
            } else if (row >= 0 || inside(boxOf(window, {Part::List}))) {
                out->vt = VT_DISPATCH;
                out->pdispVal = new Accessible(window, this);
            } else {
                setId(out, CHILDID_SELF);
            }
            return S_OK;
        }
        setId(out, CHILDID_SELF);
        if (isList()) return S_OK;
        for (long id = 2; id <= childCount(false); ++id) {
            VARIANT v;
            setId(&v, id);
            if (inside(boxOf(window, elementOf(false, v)))) setId(out, id);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT) override { return DISP_E_MEMBERNOTFOUND; }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

  private:
    ~Accessible() {
        if (parent) parent->Release();
        if (standard) standard->Release();
    }
    bool isList() const { return parent != nullptr; }

    LONG refs = 1;
    HWND window;
    Accessible* parent;
    IAccessible* standard = nullptr;
};

// The thread's COM, for marshalling the answer; started at the first
// question and kept for the thread's life.
bool comReady() {
    static thread_local const bool ready = [] {
        const HRESULT started = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        return SUCCEEDED(started) || started == RPC_E_CHANGED_MODE; // COM there already
    }();
    return ready;
}

} // namespace

bool answerGetObject(HWND window, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    if (static_cast<DWORD>(lParam) != static_cast<DWORD>(OBJID_CLIENT) || !comReady()) return false;
    Accessible* client = new Accessible(window, nullptr);
    result = LresultFromObject(__uuidof(IAccessible), wParam, client);
    client->Release();
    return true;
}

void notifyFocusAndSelection(HWND window, bool focusMoved, bool selectionMoved) {
    const int row = appState.selectedIndex.load();
    const long rowId = firstRowChildId + row;
    if (focusMoved && GetFocus() == window) {
        const Part part = focusedPart();
        NotifyWinEvent(EVENT_OBJECT_FOCUS, window, OBJID_CLIENT,
                       part == Part::List ? rowId : childIdOf(part));
    }
    if (selectionMoved) NotifyWinEvent(EVENT_OBJECT_SELECTION, window, OBJID_CLIENT, rowId);
}

void notifySwitchesChanged(HWND window) {
    if (!view.settingsPageShown) return;
    for (const Part part : {Part::KillSwitch, Part::Autostart})
        NotifyWinEvent(EVENT_OBJECT_STATECHANGE, window, OBJID_CLIENT, childIdOf(part));
}

void notifyConnectionShown(HWND window) {
    if (view.settingsPageShown) return;
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, window, OBJID_CLIENT, childIdOf(Part::Button));
    NotifyWinEvent(EVENT_OBJECT_DESCRIPTIONCHANGE, window, OBJID_CLIENT, childIdOf(Part::Button));
}
