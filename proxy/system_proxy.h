// The per-user system proxy setting of the default connection.
#pragma once

// true: keeps the user's own settings (flags, proxy server, bypass list,
// auto-config URL) unless already kept, then writes exactly the SOCKS proxy at
// 127.0.0.1:10800 (flags PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY and the server
// text in appState.proxyServerText). false: gives the kept settings back and
// forgets them; with nothing kept, writes the direct flags only.
void setSystemProxy(bool enable);

// Whether setSystemProxy(true) kept settings that no disable has given back.
bool hasKeptSystemProxy();

// At start: when the setting still points at our listener although nothing
// runs (left over by a crash or a killed process), switch it back to direct.
void repairLeftoverSystemProxy();
