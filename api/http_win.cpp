// The only file that talks WinHTTP: one synchronous HTTPS GET per call, three
// handles opened and closed within the call.
#include "api/http.h"

#include <windows.h>
#include <winhttp.h>

#include <new>

// The API endpoint is fixed when the program is built (CMake cache variables
// SOVELIN_API_HOST and SOVELIN_API_PORT): the client has no runtime options.
#ifndef SOVELIN_API_HOST
#error "SOVELIN_API_HOST must be defined by the build (a wide string literal)"
#endif
#ifndef SOVELIN_API_PORT
#error "SOVELIN_API_PORT must be defined by the build"
#endif

namespace {

const wchar_t userAgent[] = L"Sovelin_Win/1.0";
const wchar_t noCacheHeaders[] = L"Cache-Control: no-cache\r\nPragma: no-cache\r\n";

// Closes its handle exactly once, when the scope that opened it ends; nested
// scopes close them newest first.
struct InternetHandle {
    HINTERNET handle;
    explicit InternetHandle(HINTERNET h) : handle(h) {}
    ~InternetHandle() {
        if (handle) WinHttpCloseHandle(handle);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
};

void readBody(HINTERNET request, std::string& body) {
    for (;;) {
        DWORD available = 0;
        WinHttpQueryDataAvailable(request, &available); // a failure leaves 0
        if (available == 0) return;
        // A fresh zero-filled buffer per chunk, one byte longer than asked.
        std::string chunk(static_cast<std::size_t>(available) + 1, '\0');
        DWORD read = 0;
        WinHttpReadData(request, chunk.data(), available, &read);
        if (read > available) read = available; // never trust a count past the buffer
        // A refused read ends the body where it stands; without this, a
        // platform that kept reporting data it would not deliver would spin.
        if (read == 0) return;
        body.append(chunk.data(), read);
    }
}

} // namespace

ApiEndpoint serviceApi() {
    return {SOVELIN_API_HOST, static_cast<std::uint16_t>(SOVELIN_API_PORT)};
}

std::string httpGet(const ApiEndpoint& api, const std::wstring& target) {
    std::string body;
    try {
        InternetHandle root(WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!root.handle) return {};
        InternetHandle connection(WinHttpConnect(root.handle, api.host.c_str(), api.port, 0));
        if (!connection.handle) return {};
        InternetHandle request(WinHttpOpenRequest(
            connection.handle, L"GET", target.c_str(), nullptr, WINHTTP_NO_REFERER,
            WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE | WINHTTP_FLAG_REFRESH));
        if (!request.handle) return {};
        WinHttpAddRequestHeaders(request.handle, noCacheHeaders, static_cast<DWORD>(-1),
                                 WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE);
        if (!WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
            return {};
        }
        // The status is never examined: an error page is an answer like any other.
        WinHttpReceiveResponse(request.handle, nullptr);
        readBody(request.handle, body);
    } catch (const std::bad_alloc&) {
        // A body too large for memory: keep what arrived, as for a broken read.
    }
    return body;
}
