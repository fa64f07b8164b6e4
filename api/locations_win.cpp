// The catalogue download: WinHTTP through httpGet, names through utf8ToWide.
#include "api/locations.h"

#include "api/http.h"

#include <thread>

void fetchLocations() {
    try {
        // A failed request gives an empty body, and so an empty list: the
        // old rows are dropped either way.
        publishLocations(buildLocationList(httpGet(L"/api/get_locations.php"), utf8ToWide));
    } catch (...) {
        // Out of memory while building the rows: keep the old list.
    }
}

void startLocationFetch() {
    try {
        std::thread([] { fetchLocations(); }).detach();
    } catch (...) {
        // No thread (resources exhausted): the download is simply not made;
        // a later connection request starts another one.
    }
}
