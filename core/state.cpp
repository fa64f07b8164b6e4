#include "core/state.h"

AppState& appState = *new AppState();
