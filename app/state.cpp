#include "app/state.h"

AppState& appState = *new AppState();
