#include "tools/relay/stats.h"

#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <vector>

namespace {

// The system's handle table, our entries counted: Wine answers
// GetProcessHandleCount with 0, but keeps this table. -1 when unreadable.
std::int64_t handlesInSystemTable() {
    using Query = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    std::vector<char> buffer(1 << 16);
    for (int tries = 0; tries < 8; ++tries) {
        ULONG needed = 0;
        const NTSTATUS status = query(SystemHandleInformation, buffer.data(),
                                      static_cast<ULONG>(buffer.size()), &needed);
        if (status == static_cast<NTSTATUS>(0xC0000004L)) { // STATUS_INFO_LENGTH_MISMATCH
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0) return -1;
        const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
        const ULONG self = GetCurrentProcessId();
        std::int64_t count = 0;
        for (ULONG i = 0; i < table->Count; ++i)
            if (table->Handle[i].OwnerPid == self) ++count;
        return count;
    }
    return -1;
}

} // namespace

ProcessStats readProcessStats() {
    ProcessStats stats;
    PROCESS_MEMORY_COUNTERS memory{};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
        stats.rssKb = static_cast<std::int64_t>(memory.WorkingSetSize / 1024);
    // Counted before the snapshot below adds one of its own.
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0)
        stats.handles = handles;
    else
        stats.handles = handlesInSystemTable();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        const DWORD self = GetCurrentProcessId();
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        std::int64_t threads = 0;
        for (BOOL more = Thread32First(snapshot, &entry); more;
             more = Thread32Next(snapshot, &entry))
            if (entry.th32OwnerProcessID == self) ++threads;
        CloseHandle(snapshot);
        stats.threads = threads;
    }
    return stats;
}
