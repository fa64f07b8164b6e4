// bench-forwarder LISTEN_PORT TARGET_PORT: the plainest fast forwarder, as a
// yardstick for the engine under Wine. Every connection to 127.0.0.1:LISTEN_PORT
// is joined to a new one to 127.0.0.1:TARGET_PORT and copied by two blocking
// threads, one per direction, 64 KiB at a time. Stops when its standard input
// ends.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void copy(SOCKET from, SOCKET to) {
    static thread_local char buffer[65536];
    for (;;) {
        int n = recv(from, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        for (int sent = 0; sent < n;) {
            int m = send(to, buffer + sent, n - sent, 0);
            if (m <= 0) {
                shutdown(from, SD_BOTH);
                return;
            }
            sent += m;
        }
    }
    shutdown(to, SD_SEND);
}

void serve(SOCKET client, int target) {
    SOCKET upstream = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(target);
    if (connect(upstream, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        BOOL on = TRUE;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), sizeof on);
        setsockopt(upstream, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), sizeof on);
        std::thread back(copy, upstream, client);
        copy(client, upstream);
        back.join();
    }
    closesocket(upstream);
    closesocket(client);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench-forwarder LISTEN_PORT TARGET_PORT\n");
        return 2;
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const int target = std::atoi(argv[2]);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(std::atoi(argv[1]));
    if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, SOMAXCONN) != 0) {
        std::fprintf(stderr, "bench-forwarder: cannot listen\n");
        return 1;
    }
    std::thread([listener] {
        while (std::getchar() != EOF) {
        }
        closesocket(listener);
    }).detach();
    for (;;) {
        SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) break;
        std::thread(serve, client, target).detach();
    }
    std::fflush(stdout);
    std::_Exit(0); // copying threads end with the process
}
