#include "api/connection_request.h"

#include "api/json_fields.h"

std::string connectionTarget(std::uint32_t tick, int draw, const LocationList& list,
                             std::int32_t selected) {
    std::string target = "/api/get_connection.php?nocache=";
    target += std::to_string(tick);
    target += std::to_string(draw);
    if (selected >= 0 && static_cast<std::size_t>(selected) < list.size()) {
        const std::string& code = list[static_cast<std::size_t>(selected)].code;
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
