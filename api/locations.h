// The catalogue of locations shown in the server list.
#pragma once

#include "api/http.h"
#include "core/state.h"

#include <string>
#include <vector>

// Starts fetchLocations on a detached thread and returns at once.
void startLocationFetch(ApiEndpoint api = serviceApi());
// Downloads the catalogue, replaces appState.locations whole, asks for a repaint.
void fetchLocations(const ApiEndpoint& api = serviceApi());

// The "code" values of a catalogue answer in answer order, duplicates kept;
// the walk ends at the first empty one.
std::vector<std::string> locationCodes(const std::string& body);
// The UTF-8 row title for a code in the name table (exact two-byte,
// case-sensitive match), or nullptr for a code shown as itself.
const char* tableDisplayName(const std::string& code);
// Rows for the codes of an answer: names from the table, else the code itself,
// converted to UTF-16 by toWide.
LocationList buildLocationList(const std::string& body, std::wstring (*toWide)(const std::string&));
// Replaces appState.locations with list in one step, then asks for a repaint.
void publishLocations(LocationList list);
