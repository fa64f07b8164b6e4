// The catalogue of locations shown in the server list.
#pragma once

#include "app/state.h"

// Starts fetchLocations on a detached thread and returns at once.
void startLocationFetch();
// Downloads the catalogue, replaces appState.locations whole, asks for a repaint.
void fetchLocations();
