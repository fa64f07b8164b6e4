#include "proxy/http_framing.h"

#include <algorithm>
#include <vector>

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// What the fields of one head say about its framing and its connection.
struct Fields {
    bool close = false, keepAlive = false;
    bool hasLength = false, lengthValid = true;
    std::uint64_t length = 0;
    bool hasCoding = false, chunkedLast = false;
    int chunkedCount = 0;

    explicit Fields(const std::vector<HttpField>& fields) {
        for (const HttpField& f : fields)
            add(f.name, f.value);
    }
    void add(std::string_view name, std::string_view value) {
        if (equalsNoCase(name, "Connection") || equalsNoCase(name, "Proxy-Connection")) {
            eachListItem(value, [&](std::string_view option) {
                close = close || equalsNoCase(option, "close");
                keepAlive = keepAlive || equalsNoCase(option, "keep-alive");
            });
        } else if (equalsNoCase(name, "Content-Length")) {
            // RFC 9112 section 6.3: repeated values that agree are one length.
            bool any = false;
            eachListItem(value, [&](std::string_view digits) {
                any = true;
                std::uint64_t v = 0;
                // Beyond 18 digits a length may overflow, and is no real body.
                if (digits.size() > 18 || !std::all_of(digits.begin(), digits.end(), isDigit))
                    lengthValid = false;
                for (char c : digits.substr(0, 18))
                    v = v * 10 + static_cast<std::uint64_t>(c - '0');
                if (hasLength && v != length) lengthValid = false;
                hasLength = true;
                length = v;
            });
            if (!any) lengthValid = false;
            hasLength = true;
        } else if (equalsNoCase(name, "Transfer-Encoding")) {
            hasCoding = true;
            eachListItem(value, [&](std::string_view coding) {
                chunkedLast = equalsNoCase(trimOws(coding.substr(0, coding.find(';'))), "chunked");
                chunkedCount += chunkedLast;
            });
        }
    }
    // Chunked applied exactly once, last (RFC 9112 section 6.1).
    bool chunked() const { return chunkedLast && chunkedCount == 1; }
};

// The versions spoken here, on both sides.
bool isVersion(std::string_view v) {
    return v == "HTTP/1.1" || v == "HTTP/1.0";
}

} // namespace

bool frameHttpRequest(const HttpHeadLines& head, HttpFraming& out) {
    const Fields f(head.fields);
    const std::string_view line = head.start;
    const bool http10 = line.size() >= 8 && line.substr(line.size() - 8) == "HTTP/1.0";
    HttpFraming r;
    // RFC 9112 section 6.3: a request whose body's end is in doubt is refused,
    // never guessed at, or it could smuggle a second request past us.
    if (f.hasCoding) {
        if (f.hasLength || http10 || !f.chunked()) return false;
        r.body = BodyKind::Chunked;
    } else if (f.hasLength) {
        if (!f.lengthValid) return false;
        r.body = f.length ? BodyKind::Length : BodyKind::None;
        r.length = f.length;
    }
    r.close = f.close || (http10 && !f.keepAlive);
    out = r;
    return true;
}

bool frameHttpRequest(std::string_view head, HttpFraming& out) {
    HttpHeadLines lines;
    return scanHttpHead(head, head.size(), lines) == HttpHead::Complete &&
           frameHttpRequest(lines, out);
}

HttpHead parseHttpResponseHead(std::string_view in, bool toHead, HttpResponseHead& out) {
    HttpHeadLines lines;
    const HttpHead scanned = scanHttpHead(in, httpResponseHeadLimit, lines);
    if (scanned != HttpHead::Complete) return scanned;
    HttpResponseHead r;
    r.headLength = lines.length;
    bool http10 = false;
    // RFC 9112 section 4: HTTP-version SP 3DIGIT SP [reason]; some servers
    // leave out the SP before an empty reason.
    const auto statusLine = [&](std::string_view line) {
        if (line.size() < 12 || !isVersion(line.substr(0, 8)) || line[8] != ' ') return false;
        const std::string_view code = line.substr(9, 3);
        if (!std::all_of(code.begin(), code.end(), isDigit) || code[0] < '1' || code[0] > '5' ||
            code == "101")
            return false;
        if (line.size() > 12 && line[12] != ' ') return false;
        http10 = line[7] == '0';
        r.status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
        return true;
    };
    if (!statusLine(lines.start)) return HttpHead::Malformed;
    const Fields f(lines.fields);
    HttpFraming& m = r.framing;
    // An interim response ends nothing: its fields say nothing of the connection.
    if (r.interim()) {
        out = r;
        return HttpHead::Complete;
    }
    m.close = f.close || (http10 && !f.keepAlive);
    // RFC 9112 section 6.3, in its order.
    if (toHead || r.status == 204 || r.status == 304) {
        m.body = BodyKind::None;
    } else if (f.hasCoding) {
        m.body = f.chunked() ? BodyKind::Chunked : BodyKind::UntilClose;
        // Both fields: chunked decides, and the connection cannot be trusted on.
        m.close = m.close || f.hasLength;
    } else if (f.hasLength) {
        if (!f.lengthValid) return HttpHead::Malformed;
        m.body = f.length ? BodyKind::Length : BodyKind::None;
        m.length = f.length;
    } else {
        m.body = BodyKind::UntilClose;
    }
    m.close = m.close || m.body == BodyKind::UntilClose;
    out = r;
    return HttpHead::Complete;
}

BodyFramer::BodyFramer(const HttpFraming& framing) : state(State::Done), left(framing.length) {
    if (framing.body == BodyKind::Length && left > 0) state = State::Counted;
    if (framing.body == BodyKind::Chunked) state = State::Size;
    if (framing.body == BodyKind::UntilClose) state = State::UntilClose;
}

// RFC 9112 section 7.1: chunk-size [chunk-ext] CRLF chunk-data CRLF ...,
// last-chunk, trailer fields, CRLF. Lines end in CRLF alone.
std::size_t BodyFramer::feed(std::string_view in) {
    std::size_t i = 0;
    const auto expect = [&](char wanted, State next) {
        // A byte that breaks the body is not taken.
        state = in[i] == wanted ? next : State::Failed;
        i += state != State::Failed;
    };
    while (i < in.size()) {
        const char c = in[i];
        switch (state) {
        case State::Done:
        case State::Failed:
            return i;
        case State::UntilClose:
            return in.size();
        case State::Counted:
        case State::Data: {
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, in.size() - i));
            i += take;
            left -= take;
            if (left == 0) state = state == State::Counted ? State::Done : State::DataCr;
            break;
        }
        case State::Size: {
            const char l = lower(c);
            const bool hex = isDigit(l) || (l >= 'a' && l <= 'f');
            if (hex && digits < 15) { // past 15 digits a size is no real chunk
                left = left * 16 + static_cast<std::uint64_t>(isDigit(l) ? l - '0' : l - 'a' + 10);
                ++digits;
                ++i;
            } else {
                const bool ends = c == ';' || c == ' ' || c == '\t' || c == '\r';
                state = digits > 0 && !hex && ends ? State::Extension : State::Failed;
            }
            break;
        }
        case State::Extension:
        case State::Trailer:
            if (isControl(c) && c != '\r') {
                state = State::Failed;
                break;
            }
            if (c == '\r') state = state == State::Extension ? State::SizeLf : State::TrailerLf;
            ++i;
            break;
        case State::SizeLf:
            expect('\n', left > 0 ? State::Data : State::LineStart);
            digits = 0;
            break;
        case State::DataCr:
            expect('\r', State::DataLf);
            break;
        case State::DataLf:
            expect('\n', State::Size);
            break;
        case State::LineStart:
            if (c == '\r') ++i;
            state = c == '\r' ? State::EndLf : State::Trailer;
            break;
        case State::TrailerLf:
            expect('\n', State::LineStart);
            break;
        case State::EndLf:
            expect('\n', State::Done);
            break;
        }
    }
    return i;
}
