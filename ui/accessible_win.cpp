// IAccessible by hand (MinGW has oleacc, not the UI Automation provider
// headers). The client object answers for itself through the system's
// standard object and for the painted elements from the element table; the
// list is an object of its own whose children are the rows.
#include "ui/accessible_win.h"

#include "ui/input.h"

// The interface ids by __uuidof: MinGW's oleacc import library also names
// IID_IAccessible, as a stub of code.
#include <oleacc.h>

#include <string>

namespace {

// The window's table for its client area as it is now.
const ElementTable& elementsOf(HWND window) {
    RECT r;
    GetClientRect(window, &r);
    return windowElements(r.right, r.bottom, appState.connectionState.load());
}

// What a child id names. The client object's children are the table's parts
// from 1 (the list first) and, for events, the rows from firstRowChildId; the
// list object's are its rows from 1, and the list is the list object itself.
struct Target {
    bool self = false;
    const Element* element = nullptr;
};

Target targetOf(const ElementTable& t, bool isList, const VARIANT& child) {
    if (child.vt != VT_I4) return {};
    const long id = child.lVal;
    if (id == CHILDID_SELF) return {true, isList ? t.find(Part::List) : nullptr};
    if (isList) return {false, t.row(static_cast<int>(id - 1))};
    if (id >= firstRowChildId) return {false, t.row(static_cast<int>(id - firstRowChildId))};
    if (id >= 1 && static_cast<std::size_t>(id) <= t.partCount) return {false, &t.elements[id - 1]};
    return {};
}

long childIdOf(const ElementTable& t, Part part) {
    for (std::size_t i = 0; i < t.partCount; ++i)
        if (t.elements[i].part == part) return static_cast<long>(i + 1);
    return CHILDID_SELF;
}

long roleOf(Role role) {
    switch (role) {
    case Role::List:
        return ROLE_SYSTEM_LIST;
    case Role::ListItem:
        return ROLE_SYSTEM_LISTITEM;
    case Role::CheckButton:
        return ROLE_SYSTEM_CHECKBUTTON;
    case Role::PushButton:
        break;
    }
    return ROLE_SYSTEM_PUSHBUTTON;
}

long stateOf(HWND window, const Element& e) {
    long state = STATE_SYSTEM_FOCUSABLE;
    const bool focused = GetFocus() == window;
    if (e.role == Role::ListItem) {
        state |= STATE_SYSTEM_SELECTABLE | (e.selected ? STATE_SYSTEM_SELECTED : 0);
        if (e.selected && focused && focusedPart() == Part::List) state |= STATE_SYSTEM_FOCUSED;
        if (!e.shown()) state |= STATE_SYSTEM_OFFSCREEN | STATE_SYSTEM_INVISIBLE;
        return state;
    }
    // The list's focus is its chosen row's.
    if (focused && focusedPart() == e.part && e.role != Role::List) state |= STATE_SYSTEM_FOCUSED;
    if (e.checked) state |= STATE_SYSTEM_CHECKED;
    if (e.busy) state |= STATE_SYSTEM_BUSY;
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
        const ElementTable& t = elementsOf(window);
        *out = static_cast<long>(isList() ? t.rows().size() : t.partCount);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        const Target target = targetOf(elementsOf(window), isList(), child);
        if (!target.self && !target.element) return E_INVALIDARG;
        if (!target.self && target.element->role == Role::List) {
            *out = new Accessible(window, this); // one reference, the caller's
            return S_OK;
        }
        return S_FALSE; // a simple element: ask this object with its id
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* out) override {
        const Target target = targetOf(elementsOf(window), isList(), child);
        if (standsForItself(target)) return standard->get_accName(child, out);
        if (!target.element) return target.self ? S_FALSE : E_INVALIDARG;
        return answerText(target.element->label, out);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* out) override {
        const ElementTable& t = elementsOf(window);
        const Target target = targetOf(t, isList(), child);
        if (!target.self && !target.element) return E_INVALIDARG;
        // The list's value is the chosen row, as a list box has.
        const Element* chosen = t.row(t.scene.selected);
        if (target.element && target.element->role == Role::List && chosen)
            return answerText(chosen->label, out);
        return answerText({}, out);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* out) override {
        const Target target = targetOf(elementsOf(window), isList(), child);
        if (!target.self && !target.element) return E_INVALIDARG;
        return answerText(target.element ? target.element->description : std::wstring(), out);
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* out) override {
        if (!out) return E_INVALIDARG;
        const Target target = targetOf(elementsOf(window), isList(), child);
        if (standsForItself(target)) return standard->get_accRole(child, out);
        if (!target.element) return target.self ? S_FALSE : E_INVALIDARG;
        setId(out, roleOf(target.element->role));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* out) override {
        if (!out) return E_INVALIDARG;
        const Target target = targetOf(elementsOf(window), isList(), child);
        if (standsForItself(target)) return standard->get_accState(child, out);
        if (!target.element) return target.self ? S_FALSE : E_INVALIDARG;
        setId(out, stateOf(window, *target.element));
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
        const ElementTable& t = elementsOf(window);
        const Part part = focusedPart();
        if (part == Part::List) {
            const int row = t.scene.selected;
            const bool hasRow = t.row(row) != nullptr;
            setId(out, hasRow ? (isList() ? row + 1 : firstRowChildId + row) : CHILDID_SELF);
        } else if (!isList()) {
            setId(out, childIdOf(t, part));
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* out) override {
        if (!out) return E_INVALIDARG;
        VariantInit(out);
        const ElementTable& t = elementsOf(window);
        const int row = t.scene.selected;
        if (!isList() || !t.row(row)) return S_FALSE;
        setId(out, row + 1);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* out) override {
        const Target target = targetOf(elementsOf(window), isList(), child);
        if (!target.self && !target.element) return E_INVALIDARG;
        return answerText(target.element ? actionName(target.element->action) : L"", out);
    }
    // Pressed as a click presses it, once this call has returned: the press
    // may stop a connection, which takes a while.
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        const Target target = targetOf(elementsOf(window), isList(), child);
        if (!target.element) return target.self ? DISP_E_MEMBERNOTFOUND : E_INVALIDARG;
        const Element& e = *target.element;
        return PostMessageW(window, elementPressMessage, static_cast<WPARAM>(e.part),
                            static_cast<LPARAM>(e.row))
                   ? S_OK
                   : E_FAIL;
    }
    HRESULT STDMETHODCALLTYPE accSelect(long, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height,
                                          VARIANT child) override {
        if (!left || !top || !width || !height) return E_INVALIDARG;
        const Target target = targetOf(elementsOf(window), isList(), child);
        if (standsForItself(target)) return standard->accLocation(left, top, width, height, child);
        if (!target.element) return E_INVALIDARG;
        const PixelBox& b = target.element->box;
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
        const ElementTable& t = elementsOf(window);
        if (p.x < 0 || p.y < 0 || p.x >= t.scene.clientWidth || p.y >= t.scene.clientHeight)
            return S_FALSE;
        const auto inside = [&](const PixelBox& b) {
            return p.x >= b.left && p.x < b.right && p.y >= b.top && p.y < b.bottom;
        };
        // The panel is the list's, where a row is found as a press finds it.
        if (p.x < panelWidth()) {
            const Element* row = rowAt(t, p.x, p.y);
            if (isList()) {
                setId(out, row ? row->row + 1 : CHILDID_SELF);
            } else if (row || inside(t.elements[0].box)) {
                out->vt = VT_DISPATCH;
                out->pdispVal = new Accessible(window, this);
            } else {
                setId(out, CHILDID_SELF);
            }
            return S_OK;
        }
        setId(out, CHILDID_SELF);
        if (isList()) return S_OK;
        for (std::size_t i = 1; i < t.partCount; ++i)
            if (inside(t.elements[i].box)) setId(out, static_cast<long>(i + 1));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

  private:
    ~Accessible() {
        if (parent) parent->Release();
        if (standard) standard->Release();
    }
    bool isList() const { return parent != nullptr; }
    // The client object itself, which the system's standard object describes.
    bool standsForItself(const Target& target) const {
        return target.self && !isList() && standard;
    }

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
    const ElementTable& t = elementsOf(window);
    const long rowId = firstRowChildId + t.scene.selected;
    if (focusMoved && GetFocus() == window) {
        const Part part = focusedPart();
        NotifyWinEvent(EVENT_OBJECT_FOCUS, window, OBJID_CLIENT,
                       part == Part::List ? rowId : childIdOf(t, part));
    }
    if (selectionMoved) NotifyWinEvent(EVENT_OBJECT_SELECTION, window, OBJID_CLIENT, rowId);
}

void notifySwitchesChanged(HWND window) {
    const ElementTable& t = elementsOf(window);
    for (const Part part : {Part::KillSwitch, Part::Autostart})
        if (t.find(part))
            NotifyWinEvent(EVENT_OBJECT_STATECHANGE, window, OBJID_CLIENT, childIdOf(t, part));
}

void notifyConnectionShown(HWND window) {
    const ElementTable& t = elementsOf(window);
    if (!t.find(Part::Button)) return;
    const long button = childIdOf(t, Part::Button);
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, window, OBJID_CLIENT, button);
    NotifyWinEvent(EVENT_OBJECT_DESCRIPTIONCHANGE, window, OBJID_CLIENT, button);
}
