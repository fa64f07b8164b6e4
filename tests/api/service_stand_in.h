// Access from a test under Wine to the service stand-ins that with-service.sh
// started (tools/service/service.py): their state directories and ports.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

extern int sovelinTestApiPort; // the port httpGet uses in these tests

struct StandIn {
    std::string dir; // a Windows path to the state directory
    int port = 0;
};

// Wine maps the drive Z: onto the Unix root.
inline StandIn standIn(const char* dirVariable, const char* portVariable) {
    const char* dir = std::getenv(dirVariable);
    const char* port = std::getenv(portVariable);
    StandIn s;
    if (dir && port) {
        s.dir = std::string("Z:") + dir;
        s.port = std::atoi(port);
    }
    return s;
}
inline StandIn trustedStandIn() {
    return standIn("SOVELIN_SERVICE_DIR", "SOVELIN_SERVICE_PORT");
}
inline StandIn untrustedStandIn() {
    return standIn("SOVELIN_UNTRUSTED_DIR", "SOVELIN_UNTRUSTED_PORT");
}

inline bool writeStateFile(const StandIn& s, const std::string& name, const std::string& bytes) {
    const std::string path = s.dir + "/" + name;
    const std::string temporary = path + ".tmp";
    std::FILE* f = std::fopen(temporary.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !ok) return false;
    // Replaced in one step (a rename over the old file under Wine), so the
    // stand-in never serves a half-written body nor finds none and falls
    // back to its built-in one.
    return MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

inline std::string readStateFile(const StandIn& s, const std::string& name) {
    std::string bytes;
    if (std::FILE* f = std::fopen((s.dir + "/" + name).c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            bytes.append(buffer, n);
        std::fclose(f);
    }
    return bytes;
}

// Back to the built-in answers and an empty request record.
inline void resetStandIn(const StandIn& s) {
    for (const char* name : {"locations.body", "locations.mode", "connection.body",
                             "connection.mode", "requests.jsonl"}) {
        std::remove((s.dir + "/" + name).c_str());
    }
}

// The recorded requests, one JSON line each.
inline std::vector<std::string> recordedRequests(const StandIn& s) {
    std::vector<std::string> lines;
    const std::string all = readStateFile(s, "requests.jsonl");
    std::size_t start = 0;
    for (std::size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(all.substr(start, end - start));
    }
    return lines;
}

inline int countOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}
