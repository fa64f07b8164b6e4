// The catalogue download: WinHTTP through httpGet, names through utf8ToWide.
#include "api/locations.h"

#include "core/log.h"
#include "core/text.h"

#include <thread>

void fetchLocations(const ApiEndpoint& api) {
    try {
        // A failed request gives an empty body, and so an empty list: the
        // old rows are dropped either way.
        const std::string body = httpGet(api, L"/api/get_locations.php");
        LocationList list = buildLocationList(body, utf8ToWide);
        const std::size_t count = list.size();
        publishLocations(std::move(list));
        if (body.empty()) {
            logLine("catalogue: no answer from the service");
        } else if (count == 0) {
            logLine("catalogue: no locations in the answer");
        } else {
            logLine("catalogue: " + std::to_string(count) + " locations");
        }
    } catch (...) {
        // Out of memory while building the rows: keep the old list.
        logLine("catalogue: failed: out of memory");
    }
}

void startLocationFetch(ApiEndpoint api) {
    try {
        std::thread([api = std::move(api)] { fetchLocations(api); }).detach();
    } catch (...) {
        // No thread (resources exhausted): the download is simply not made;
        // a later connection request starts another one.
    }
}
