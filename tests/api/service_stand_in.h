// Access from a test under Wine to the service stand-ins that with-service.sh
// started (tools/service/service.py): their state directories and ports.
#pragma once

#include "api/http.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

struct StandIn {
    std::string dir; // a Windows path to the state directory (Wine maps Z: onto /)
    int port = 0;
    ApiEndpoint api() const { return {L"localhost", static_cast<std::uint16_t>(port)}; }
};

inline StandIn standIn(const char* dirVariable, const char* portVariable) {
    const char* dir = std::getenv(dirVariable);
    const char* port = std::getenv(portVariable);
    return dir && port ? StandIn{std::string("Z:") + dir, std::atoi(port)} : StandIn{};
}
inline StandIn trustedStandIn() {
    return standIn("SOVELIN_SERVICE_DIR", "SOVELIN_SERVICE_PORT");
}
inline StandIn untrustedStandIn() {
    return standIn("SOVELIN_UNTRUSTED_DIR", "SOVELIN_UNTRUSTED_PORT");
}

inline bool writeStateFile(const StandIn& s, const std::string& name, const std::string& bytes) {
    const std::string path = s.dir + "/" + name;
    {
        std::ofstream f(path + ".tmp", std::ios::binary);
        if (!f.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush())
            return false;
    }
    // Replaced in one step (a rename over the old file under Wine), so the
    // stand-in never serves a half-written body nor finds none and falls
    // back to its built-in one.
    return MoveFileExA((path + ".tmp").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

// Back to the built-in answers and an empty request record.
inline void resetStandIn(const StandIn& s) {
    for (const char* name : {"locations.body", "locations.mode", "connection.body",
                             "connection.mode", "requests.jsonl"})
        std::remove((s.dir + "/" + name).c_str());
}

// The recorded requests, one JSON line each (a line still being written is
// left out: it has no line end yet, so getline stops at the end of the file).
inline std::vector<std::string> recordedRequests(const StandIn& s) {
    std::ifstream f(s.dir + "/requests.jsonl", std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(f, line) && !f.eof();)
        lines.push_back(line);
    return lines;
}

inline int countOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Fixture set-up: the trusted stand-in, reset to its defaults.
inline void useTrustedStandIn(StandIn& service) {
    service = trustedStandIn();
    ASSERT_GT(service.port, 0) << "run through tests/api/with-service.sh";
    resetStandIn(service);
}
