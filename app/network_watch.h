// What may change under a running connection, watched on a thread of its
// own: the user's Internet Settings key (another program's proxy setting, or
// our own write) and the default route. Its clock ticks each second, so the
// last tick before a wake is a time from before the sleep. Windows only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

struct NetworkWatchCalls {
    // The key or a subkey changed; told once a burst of writes has settled.
    std::function<void()> settingChanged;
    // The default route as it is now ("" when there is none): once at the
    // start, then after each change of the routes has settled. quietSince:
    // the last tick before that change.
    std::function<void(std::string route, std::chrono::steady_clock::time_point quietSince)>
        routeChanged;
};

class NetworkWatch {
  public:
    explicit NetworkWatch(NetworkWatchCalls calls); // starts the thread
    ~NetworkWatch();                                // stops it and joins
    NetworkWatch(const NetworkWatch&) = delete;
    NetworkWatch& operator=(const NetworkWatch&) = delete;

    std::chrono::steady_clock::time_point lastTick() const;

  private:
    struct State;
    std::unique_ptr<State> state;
};
