// The per-user system proxy setting of the default connection.
#pragma once

// true: SOCKS proxy at 127.0.0.1:10800 (after keeping the user's own
// settings); false: the user's kept settings back, or direct.
void setSystemProxy(bool enable);

// At start: when the setting still points at our listener although nothing
// runs (left over by a crash or a killed process), switch it back to direct.
void repairLeftoverSystemProxy();
