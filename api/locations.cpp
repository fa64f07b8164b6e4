#include "api/locations.h"

#include "api/json_fields.h"
#include "core/countries.h"

#include <utility>

std::vector<std::string> locationCodes(const std::string& body) {
    std::vector<std::string> codes;
    std::size_t position = 0;
    for (;;) {
        std::string code = extractNextString(body, "code", position);
        if (code.empty()) break;
        codes.push_back(std::move(code));
    }
    return codes;
}

const char* tableDisplayName(const std::string& code) {
    const Country* country = findCountry(code);
    return country ? country->displayName : nullptr;
}

LocationList buildLocationList(const std::string& body,
                               std::wstring (*toWide)(const std::string&)) {
    LocationList list;
    for (std::string& code : locationCodes(body)) {
        const char* name = tableDisplayName(code);
        std::wstring displayName = name ? toWide(name) : toWide(code);
        list.push_back(Location{std::move(code), std::move(displayName)});
    }
    return list;
}

void publishLocations(LocationList list) {
    // One atomic store: a reader holds either the old list or the new one,
    // never one still being filled.
    appState.locations.store(std::make_shared<const LocationList>(std::move(list)));
    requestRepaint();
}
