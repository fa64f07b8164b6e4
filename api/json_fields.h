// Cutting fields out of the service's JSON answers by quoted-key search: the
// first occurrence of the quoted key, then the colon after it. String values
// are decoded as JSON strings (RFC 8259 section 7) to UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The next string value after `key` from `position` on: the first quoted
// string after the colon, whatever stands before it. Moves `position` to its
// closing quote; empty with `position` unchanged when none is found or its
// escapes are malformed.
std::string extractNextString(const std::string& text, const std::string& key,
                              std::size_t& position);
// The first value of `key`: a string decoded (empty when malformed); any
// other value as its text up to the next quote, comma or closing brace.
std::string extractValue(const std::string& text, const std::string& key);
std::int32_t toIntOrZero(const std::string& text);
