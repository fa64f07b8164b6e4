#include "tools/relay/stop.h"

#include <winsock2.h>

#include <cstdio>

bool prepareStopWait() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

// The driving script holds our standard input open and closes it to stop us.
void waitForStopRequest() {
    char buffer[256];
    while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
    }
}
