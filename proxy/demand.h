// How many upstream connections logged in ahead the clients' pace calls for.
// Given the times rather than reading a clock, so it can be checked as a
// table of moments.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

class Demand {
  public:
    using Clock = std::chrono::steady_clock;
    // Kept while clients are active: until this long after the last request.
    static constexpr auto keepFor = std::chrono::seconds(60);
    // Past this without a request, only one is kept: a reader on a page gets
    // one for the next click, not a burst's worth renewed all the time.
    static constexpr auto quietAfter = std::chrono::seconds(10);
    static constexpr std::size_t mostReady = 8;

    void noteRequest(Clock::time_point now);
    // The most requests in any one second of the last minute, from 1 to
    // mostReady, while a client has asked within keepFor; otherwise none.
    std::size_t target(Clock::time_point now) const;
    void reset() { *this = Demand(); }

  private:
    std::array<std::uint16_t, 60> perSecond{}; // requests per second, by second
    std::int64_t lastSecond = 0;
    bool asked = false;
    Clock::time_point lastRequest{};
};
