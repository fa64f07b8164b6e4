// Walks what a screen reader finds in the running client: the window found
// by its class, its client object by AccessibleObjectFromWindow, and every
// child below it, one line each (UTF-8): role, state, name, description.
// The first line gives the window's outer size.
#include <windows.h>
// The interface ids by __uuidof: MinGW's oleacc import library also names
// IID_IAccessible, as a stub of code.
#include <oleacc.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8(const wchar_t* text) {
    if (!text || !*text) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

VARIANT id(long value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

// A BSTR property as UTF-8, empty when there is none.
template <class Get> std::string text(Get get) {
    BSTR value = nullptr;
    std::string out;
    if (get(&value) == S_OK) out = utf8(value);
    SysFreeString(value);
    return out;
}

long number(IAccessible* object, long child, bool role) {
    VARIANT v;
    VariantInit(&v);
    const HRESULT hr =
        role ? object->get_accRole(id(child), &v) : object->get_accState(id(child), &v);
    const long n = SUCCEEDED(hr) && v.vt == VT_I4 ? v.lVal : -1;
    VariantClear(&v);
    return n;
}

void line(IAccessible* object, long child, int depth) {
    std::printf("%*srole=%ld state=0x%lx name=%s description=%s\n", depth * 2, "",
                number(object, child, true),
                static_cast<unsigned long>(number(object, child, false)),
                text([&](BSTR* b) { return object->get_accName(id(child), b); }).c_str(),
                text([&](BSTR* b) { return object->get_accDescription(id(child), b); }).c_str());
}

void walk(IAccessible* object, int depth) {
    line(object, CHILDID_SELF, depth);
    long count = 0;
    if (object->get_accChildCount(&count) != S_OK) return;
    for (long i = 1; i <= count && i <= 1000; ++i) {
        IDispatch* dispatch = nullptr;
        const HRESULT hr = object->get_accChild(id(i), &dispatch);
        IAccessible* child = nullptr;
        if (hr == S_OK && dispatch &&
            SUCCEEDED(dispatch->QueryInterface(__uuidof(IAccessible),
                                               reinterpret_cast<void**>(&child)))) {
            walk(child, depth + 1);
            child->Release();
        } else {
            line(object, i, depth + 1);
        }
        if (dispatch) dispatch->Release();
    }
}

} // namespace

int main() {
    // Aware itself, or the system tells it sizes scaled to 96 DPI.
    SetProcessDPIAware();
    HWND window = FindWindowW(L"Sovelin", L"Sovelin Desktop");
    if (!window) {
        std::printf("no window\n");
        return 1;
    }
    RECT r;
    GetWindowRect(window, &r);
    std::printf("window %ld %ld\n", r.right - r.left, r.bottom - r.top);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IAccessible* client = nullptr;
    const HRESULT hr =
        AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                                   reinterpret_cast<void**>(&client));
    if (FAILED(hr) || !client) {
        std::printf("no accessible object: 0x%lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    walk(client, 0);
    VARIANT focus;
    VariantInit(&focus);
    if (client->get_accFocus(&focus) == S_OK && focus.vt == VT_I4) {
        std::printf("focus %ld name=%s\n", focus.lVal,
                    text([&](BSTR* b) { return client->get_accName(focus, b); }).c_str());
    }
    client->Release();
    CoUninitialize();
    std::fflush(stdout);
    return 0;
}
