// The connection request on Windows: the cache-busting number from the tick
// count and the C runtime's generator, and the request through WinHTTP.
#include "api/connection_request.h"

#include "api/http.h"
#include "api/locations.h"
#include "core/log.h"
#include "core/text.h"

#include <windows.h>

#include <cstdlib>

std::string requestConnectionAnswer(std::int32_t selected) {
    // One snapshot of the list, so a catalogue swap cannot change this request.
    const auto list = currentLocations();
    if (list->empty()) startLocationFetch();
    // The tick count, then one draw of the generator seeded from the tick
    // count read just before.
    std::srand(GetTickCount());
    const int draw = std::rand();
    const DWORD tick = GetTickCount();
    const std::string target = connectionTarget(tick, draw, *list, selected);
    logLine("connect: GET " + target);
    return httpGet(serviceApi(), utf8ToWide(target));
}
