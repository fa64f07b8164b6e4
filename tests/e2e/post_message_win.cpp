// Posts one message to the client's window, as the system would:
// post_message.exe MESSAGE WPARAM (numbers). Exits 1 when there is no window.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    HWND window = FindWindowW(L"Sovelin", nullptr);
    if (!window) return 1;
    const UINT message = static_cast<UINT>(std::strtoul(argv[1], nullptr, 0));
    const WPARAM wParam = static_cast<WPARAM>(std::strtoull(argv[2], nullptr, 0));
    return PostMessageW(window, message, wParam, 0) ? 0 : 1;
}
