#include "core/state.h"

// No window on this platform: the portable engine still calls this after a
// state change, and nothing needs to happen.
void requestRepaint() {}
