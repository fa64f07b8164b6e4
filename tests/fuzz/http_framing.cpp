// Response framing on a kept-alive connection: where one response's head and
// body end and the next begins never depends on how the bytes arrived. Heads
// are read as an exchange reads them: interim 1xx answers, then the final one
// and its body. The first byte says whether the request was HEAD.
#include "feed.h"
#include "proxy/http_framing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool toHead = data[0] & 1;
    std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
    const auto parse = [toHead](std::string_view b) {
        HttpResponseHead r;
        const HttpHead s = parseHttpResponseHead(b, toHead, r);
        const HttpFraming& f = r.framing;
        return std::tuple(s, r.status, r.headLength, f.body, f.length, f.close);
    };
    for (;;) {
        const auto [status, code, length, body, bodyLength, close] =
            checkSplits(in, HttpHead::NeedMore, parse);
        require(status != HttpHead::TooLarge || in.size() >= httpResponseHeadLimit);
        if (status != HttpHead::Complete) return 0;
        require(length <= std::min(in.size(), httpResponseHeadLimit) &&
                in.find("\r\n\r\n") + 4 == length && code >= 100 && code <= 599);
        // A 101 answers no request of ours. An interim answer ends neither the
        // exchange nor the connection: the next head is read after it.
        require(code != 101);
        const HttpFraming framing{body, bodyLength, close};
        in.remove_prefix(length);
        if (code < 200) {
            require(body == BodyKind::None && bodyLength == 0 && !close);
            continue;
        }
        // The final answer's body fed whole, then byte by byte or in pieces
        // whose sizes the input gives: the same bytes taken, the same end or
        // failure.
        BodyFramer whole(framing);
        const std::size_t all = whole.feed(in);
        require(all <= in.size() && (body != BodyKind::UntilClose || all == in.size()));
        for (const bool bytewise : {true, false}) {
            BodyFramer split(framing);
            std::size_t at = 0, taken = 0;
            while (at < in.size() && taken == at) {
                const std::size_t piece = bytewise ? 1 : 1 + data[at % size] % 64;
                const std::string_view bytes = in.substr(at, piece);
                const std::size_t took = split.feed(bytes);
                require(took <= bytes.size());
                taken += took;
                at += bytes.size();
            }
            require(taken == all && split.done() == whole.done() &&
                    split.failed() == whole.failed());
        }
        return 0;
    }
}
