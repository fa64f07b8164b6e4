#include "tools/relay/stats.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

ProcessStats readProcessStats() {
    ProcessStats stats;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::strncmp(line, "VmRSS:", 6) == 0) stats.rssKb = std::atoll(line + 6);
            if (std::strncmp(line, "Threads:", 8) == 0) stats.threads = std::atoll(line + 8);
        }
        std::fclose(f);
    }
    if (DIR* dir = opendir("/proc/self/fd")) {
        std::int64_t count = 0;
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
        stats.handles = count - 1; // the directory's own descriptor
    }
    return stats;
}
