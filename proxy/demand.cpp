#include "proxy/demand.h"

#include <algorithm>

namespace {

std::int64_t secondOf(Demand::Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

std::size_t slot(std::int64_t second) {
    return static_cast<std::size_t>((second % 60 + 60) % 60);
}

} // namespace

void Demand::noteRequest(Clock::time_point now) {
    const std::int64_t second = secondOf(now);
    // Seconds with no request since the last one count nothing.
    const std::int64_t from = asked ? std::max(lastSecond + 1, second - 59) : second - 59;
    for (std::int64_t s = from; s <= second; ++s)
        perSecond[slot(s)] = 0;
    lastSecond = std::max(lastSecond, second);
    auto& count = perSecond[slot(second)];
    count = static_cast<std::uint16_t>(std::min<int>(count + 1, 0xffff));
    if (!asked || now - lastRequest > quietAfter) pageStart = now;
    if (count >= pageSize || now - pageSizeAt > rememberFor) {
        pageSize = count;
        pageSizeAt = now;
    }
    asked = true;
    lastRequest = now;
}

std::size_t Demand::target(Clock::time_point now) const {
    if (!asked || now - lastRequest > keepFor) return 0;
    if (now - lastRequest > quietAfter) return 1;
    const std::int64_t second = secondOf(now);
    std::size_t most = 1;
    for (std::int64_t s = second - 59; s <= second; ++s)
        if (s <= lastSecond && s > lastSecond - 60)
            most = std::max<std::size_t>(most, perSecond[slot(s)]);
    if (now - pageStart < pageStartFor) most = std::max(most, pageSize);
    return std::min(most, mostReady);
}
