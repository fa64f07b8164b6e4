#include "api/connection_request.h"

#include "api/json_fields.h"

namespace {

// RFC 3986 section 2.3: unreserved characters go as they are, every other
// byte as %XX, so a code can never end the query parameter it stands in.
std::string percentEncoded(const std::string& text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        const bool unreserved = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                                (u >= '0' && u <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 0x0f];
        }
    }
    return out;
}

} // namespace

std::string connectionTarget(std::uint32_t tick, int draw, const LocationList& list,
                             std::int32_t selected) {
    std::string target = "/api/get_connection.php?nocache=";
    target += std::to_string(tick);
    target += std::to_string(draw);
    if (selected >= 0 && static_cast<std::size_t>(selected) < list.size()) {
        const std::string code = percentEncoded(list[static_cast<std::size_t>(selected)].code);
        if (!code.empty()) target += "&country=" + code + "&location=" + code;
    }
    return target;
}

ConnectionAnswer readConnectionAnswer(const std::string& body) {
    ConnectionAnswer answer;
    if (body.empty()) {
        answer.refusal = "no answer from the service";
        return answer;
    }
    UpstreamEndpoint& endpoint = answer.endpoint;
    endpoint.host = extractValue(body, "ip");
    endpoint.port = toIntOrZero(extractValue(body, "port"));
    endpoint.userName = extractValue(body, "username");
    endpoint.password = extractValue(body, "password");
    if (endpoint.host.empty()) {
        answer.refusal = "no \"ip\" in the answer";
    } else if (endpoint.port < 1 || endpoint.port > 65535) {
        answer.refusal = "port " + std::to_string(endpoint.port) + " outside 1..65535";
    } else if (endpoint.userName.size() > maxCredentialLength) {
        answer.refusal = "user name longer than 255 bytes";
    } else if (endpoint.password.size() > maxCredentialLength) {
        answer.refusal = "password longer than 255 bytes";
    }
    return answer;
}
