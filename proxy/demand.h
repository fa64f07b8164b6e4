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
    // Past this without a request a page is over, and only one is kept: a
    // reader gets one for the next click, not a page's worth renewed as each
    // ages.
    static constexpr auto quietAfter = std::chrono::seconds(5);
    // A browser opens up to 32 connections to one proxy at once.
    static constexpr std::size_t mostReady = 32;
    // The first request after a quiet spell is a new page's document: for
    // this long after it, as many as the busiest second of the last hour
    // asked for are made ready, before the page's subresources come.
    static constexpr auto pageStartFor = std::chrono::seconds(5);
    static constexpr auto rememberFor = std::chrono::hours(1);

    void noteRequest(Clock::time_point now);
    // The most requests in any one second of the last minute, or at a page's
    // start the most of the last hour, from 1 to mostReady, while a client
    // has asked within keepFor; one past quietAfter; otherwise none.
    std::size_t target(Clock::time_point now) const;
    void reset() { *this = Demand(); }

  private:
    std::array<std::uint16_t, 60> perSecond{}; // requests per second, by second
    std::int64_t lastSecond = 0;
    bool asked = false;
    Clock::time_point lastRequest{};
    Clock::time_point pageStart{};
    std::size_t pageSize = 0; // the busiest second within rememberFor
    Clock::time_point pageSizeAt{};
};
