// The relay's own use of memory, handles and threads, read from inside the
// process: under Wine the soak (tools/bench/soak.py) cannot see the Windows
// handles from outside.
#pragma once

#include <cstdint>

struct ProcessStats {
    std::int64_t rssKb = -1;   // resident set (the working set on Windows); -1 unknown
    std::int64_t handles = -1; // open descriptors, or Windows handles
    std::int64_t threads = -1;
};

ProcessStats readProcessStats();
