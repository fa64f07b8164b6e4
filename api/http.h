// HTTPS GET against the service's web API.
#pragma once

#include <cstdint>
#include <string>

// Where the web API answers. The client's own is fixed by the build; tests
// aim the transport at a stand-in.
struct ApiEndpoint {
    std::wstring host;
    std::uint16_t port = 443;
};

// The build's endpoint (SOVELIN_API_HOST, SOVELIN_API_PORT).
ApiEndpoint serviceApi();

// The answer body exactly as received (any status), or empty on failure.
std::string httpGet(const ApiEndpoint& api, const std::wstring& target);
