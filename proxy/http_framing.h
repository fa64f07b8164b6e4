// Where HTTP/1.1 messages end on a connection that carries several (RFC 9112
// section 6): a request's body, a response's body, and whether either side
// asks for the connection to end after it. Pure byte work: every parser takes
// a byte view and checks its length before each read.
#pragma once

#include "proxy/http_head.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// The largest request head read, request line and fields through the empty
// line; a longer one is answered with 431.
inline constexpr std::size_t httpHeadLimit = 16 * 1024;
// Responses carry more and longer fields (cookies, policies) than requests.
inline constexpr std::size_t httpResponseHeadLimit = 64 * 1024;

enum class BodyKind {
    None,       // the message ends with its head
    Length,     // Content-Length bytes
    Chunked,    // chunks, the last of size 0, then trailer fields
    UntilClose, // a response whose end is the server's close
};

struct HttpFraming {
    BodyKind body = BodyKind::None;
    std::uint64_t length = 0; // BodyKind::Length only
    bool close = false;       // the sender ends the connection after this message
};

// The framing of a request whose head was scanned. false when its body's
// length cannot be known: a Content-Length that is invalid or disagrees with
// itself, a Transfer-Encoding that does not end in chunked, both fields at
// once, or a Transfer-Encoding from HTTP/1.0; such a request is answered 400.
bool frameHttpRequest(const HttpHeadLines& head, HttpFraming& out);
// The same for a whole head in bytes; false too when it does not scan.
bool frameHttpRequest(std::string_view head, HttpFraming& out);

struct HttpResponseHead {
    int status = 0;
    std::size_t headLength = 0; // through the empty line
    HttpFraming framing;
    // RFC 9110 section 15.2: a 1xx has no body and a final response follows.
    bool interim() const { return status < 200; }
};

// The response at the start of in, to a HEAD request when toHead. Complete
// with out written only for a whole, valid head; Malformed for a bad line, a
// version other than HTTP/1.0 and HTTP/1.1, an invalid Content-Length, or a
// 101 (a proxy answers these 502); TooLarge past httpResponseHeadLimit. A 101
// answers only an Upgrade (RFC 9110 section 7.8), and none is ever forwarded,
// so it can only be an origin's attempt to take the connection over.
HttpHead parseHttpResponseHead(std::string_view in, bool toHead, HttpResponseHead& out);

// Follows one message body as it streams by, however its bytes are split.
class BodyFramer {
  public:
    explicit BodyFramer(const HttpFraming& framing);
    // Takes bytes up to the body's end and returns how many belong to it
    // (all of them for UntilClose); nothing once done or failed.
    std::size_t feed(std::string_view bytes);
    bool done() const { return state == State::Done; }
    // The bytes are not a valid chunked body: the connection cannot go on.
    bool failed() const { return state == State::Failed; }

  private:
    enum class State {
        Done,
        Failed,
        Counted,    // `left` bytes of a Content-Length body
        UntilClose, //
        Size,       // chunk-size digits
        Extension,  // after the size, through CR
        SizeLf,     //
        Data,       // `left` bytes of chunk data
        DataCr,     //
        DataLf,     //
        LineStart,  // a trailer field line or the final empty line
        Trailer,    // inside a trailer field line, through CR
        TrailerLf,  //
        EndLf,      // the LF of the final empty line
    };
    State state;
    std::uint64_t left = 0;
    int digits = 0;
};
