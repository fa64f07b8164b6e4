// Asking the service for an upstream: the request's target and the reading
// of its answer (portable), and the request itself (Windows).
#pragma once

#include "core/state.h"

#include <cstddef>
#include <cstdint>
#include <string>

// RFC 1929 section 2 carries each of the user name and the password in a
// length byte: longer ones cannot be sent upstream.
inline constexpr std::size_t maxCredentialLength = 255;

// "/api/get_connection.php?nocache=" with the tick count and the draw, then
// "&country=" CODE "&location=" CODE when `selected` is an entry of `list`
// with a code, the code percent-encoded.
std::string connectionTarget(std::uint32_t tick, int draw, const LocationList& list,
                             std::int32_t selected);

struct ConnectionAnswer {
    UpstreamEndpoint endpoint;
    // Empty: the endpoint can be used. Otherwise why not, for the log; it
    // never holds the user name or the password.
    std::string refusal;
};
ConnectionAnswer readConnectionAnswer(const std::string& body);

// Windows: one request for the location at `selected` of the catalogue; the
// answer's body, empty when there was none. Starts a catalogue fetch when the
// list is empty.
std::string requestConnectionAnswer(std::int32_t selected);
