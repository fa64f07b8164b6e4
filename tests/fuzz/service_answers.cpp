// The service's answers: the connection answer's fields and the catalogue's
// codes read from any text, and any value written as a JSON string read back
// as itself.
#include "api/connection_request.h"
#include "api/json_fields.h"
#include "feed.h"

#include <cstdio>

// value as a JSON string: bytes from 0x80 as they are; a control character,
// quote or backslash always escaped; the rest escaped when the byte before
// says so, in the short form (\n, \/ ...) or as \u00XX.
static std::string jsonString(std::string_view value) {
    constexpr std::string_view shortForm{"\"\\/\b\f\n\r\t"}, letter{"\"\\/bfnrt"};
    std::string out = "\"";
    unsigned char previous = 0;
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        const std::size_t s = shortForm.find(c);
        char escape[7];
        std::snprintf(escape, sizeof escape, "\\u%04X", u);
        if (u >= 0x80 || (u >= 0x20 && c != '"' && c != '\\' && !(previous & 1)))
            out += c;
        else
            out += s != shortForm.npos && (previous & 2) ? std::string{'\\', letter[s]} : escape;
        previous = u;
    }
    return out + '"';
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    // Any text: an endpoint taken for use fits the upstream's messages.
    const ConnectionAnswer answer = readConnectionAnswer(body);
    const UpstreamEndpoint& e = answer.endpoint;
    if (answer.refusal.empty())
        require(!e.host.empty() && e.port >= 1 && e.port <= 65535 && e.userName.size() <= 255 &&
                e.password.size() <= 255);
    // The walk over "code" values only moves forward, to a quote in the text.
    std::size_t position = 0, before = 0;
    while (!extractNextString(body, "code", position).empty()) { // as locationCodes walks
        require(position > before && position < size && body[position] == '"');
        before = position;
    }
    // Written as JSON and read back, a value is itself.
    const std::string text = "{\"ip\": " + jsonString(body) + ", \"port\":1080}";
    position = 0;
    require(extractValue(text, "ip") == body && extractNextString(text, "ip", position) == body &&
            toIntOrZero(extractValue(text, "port")) == 1080);
    return 0;
}
