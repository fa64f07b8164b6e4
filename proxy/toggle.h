// The single connect/disconnect entry of the user interface.
#pragma once

void toggleConnection();
