// Helpers of the road tests run by connection_road.py: the driver's settings
// from the environment, the stand-in's state files, and bounded waits.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

inline std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

inline std::string stateFile(const std::string& name) {
    return env("SOVELIN_SERVICE_STATE") + "\\" + name;
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

template <class Condition> bool waitFor(Condition condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

inline bool connectionRequested() {
    return readFile(stateFile("requests.jsonl")).find("get_connection") != std::string::npos;
}
