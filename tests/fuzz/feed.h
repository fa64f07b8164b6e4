// What the fuzz targets share: a property that does not hold stops the run
// like a crash, and a parser is fed its bytes as a socket would deliver them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>

inline void require(bool holds) {
    if (!holds) __builtin_trap();
}

// parse(bytes) is a tuple led by the parser's status: all it answers. Fed
// growing prefixes (one byte at a time for short inputs, then in pieces
// whose sizes are read from the input's end backwards, so the fuzzer picks
// the split points; up to 8 bytes, more for long inputs to bound the work),
// its answer at the first prefix where the status is not needMore must be
// its answer for the whole input: nothing it decides, and nothing it leaves
// unread, depends on how the bytes arrived. Returns that answer.
template <class Status, class Parse>
auto checkSplits(std::string_view in, Status needMore, Parse parse) {
    const auto whole = parse(in);
    const std::size_t most = std::max<std::size_t>(8, in.size() / 64);
    for (const bool bytewise : {in.size() <= 2048, false}) {
        std::size_t have = 0, piece = 0;
        auto first = parse(in.substr(0, 0));
        while (std::get<0>(first) == needMore && have < in.size()) {
            const auto size = static_cast<unsigned char>(in[in.size() - 1 - piece++ % in.size()]);
            have = std::min(in.size(), have + (bytewise ? 1 : 1 + size % most));
            first = parse(in.substr(0, have));
        }
        require(first == whole);
    }
    return whole;
}
