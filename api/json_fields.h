// Cutting fields out of the service's JSON answers by quoted-key search.
// Byte rules, not a JSON parser: the service's contract depends on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

std::string extractNextString(const std::string& text, const std::string& key,
                              std::size_t& position);
std::string extractValue(const std::string& text, const std::string& key);
std::int32_t toIntOrZero(const std::string& text);
