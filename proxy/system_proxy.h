// The per-user system proxy setting of the default connection.
#pragma once

// true: SOCKS proxy at 127.0.0.1:10800 (after keeping the user's own
// settings); false: the user's kept settings back, or direct.
void setSystemProxy(bool enable);
