#include "sim/serve/http_wire.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <variant>

#include "sim/common/message_limit.h"

namespace norva_core::sim::http_wire {
namespace {

Parse refused(int status, std::string message) {
    Parse parse;
    parse.state = Parse::State::refused;
    parse.status = status;
    parse.message = std::move(message);
    return parse;
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// Whether a comma-separated header value lists the token, in any case.
bool lists(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        auto comma = value.find(',');
        if (lower(trimmed(value.substr(0, comma))) == token) {
            return true;
        }
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    }
    return false;
}

// A media type without its parameters, in lower case: "application/json; charset=utf-8" is
// "application/json".
std::string media_type(std::string_view value) {
    return lower(trimmed(value.substr(0, value.find(';'))));
}

// Whether an Accept value names the media type among its alternatives.
bool accepts(std::string_view value, std::string_view type) {
    while (!value.empty()) {
        auto comma = value.find(',');
        if (media_type(value.substr(0, comma)) == type) {
            return true;
        }
        value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    }
    return false;
}

// Where the head ends (just past its empty line), or nothing while it is incomplete. Bare line
// feeds end lines too, as RFC 9112 allows.
std::optional<std::size_t> head_end(std::string_view data) {
    for (auto at = data.find('\n'); at != std::string_view::npos; at = data.find('\n', at + 1)) {
        if (at + 1 < data.size() && data[at + 1] == '\n') {
            return at + 2;
        }
        if (at + 2 < data.size() && data[at + 1] == '\r' && data[at + 2] == '\n') {
            return at + 3;
        }
    }
    return std::nullopt;
}

struct Head {
    Request request;
    std::optional<std::size_t> content_length;
    bool chunked = false;
    bool expects_continue = false;
};

std::optional<std::size_t> whole_number(std::string_view text, int base = 10) {
    std::size_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// Reads the request line and headers; a refusal says why they cannot be taken.
std::variant<Head, Parse> read_head(std::string_view head) {
    Head out;
    auto line_end = head.find('\n');
    std::string_view line = trimmed(head.substr(0, line_end));
    auto first = line.find(' ');
    auto last = line.rfind(' ');
    if (first == std::string_view::npos || first == last) {
        return refused(400, "the request line is not 'METHOD /path HTTP/1.1'");
    }
    auto version = line.substr(last + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        return refused(505, "only HTTP/1.1 and HTTP/1.0 are served");
    }
    out.request.method = std::string(line.substr(0, first));
    auto target = line.substr(first + 1, last - first - 1);
    out.request.path = std::string(target.substr(0, target.find('?')));
    bool http_1_1 = version == "HTTP/1.1";
    std::optional<bool> keep_alive;

    for (auto rest = head.substr(line_end + 1); !rest.empty();) {
        auto end = rest.find('\n');
        std::string_view field = trimmed(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (field.empty()) {
            continue;
        }
        auto colon = field.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            return refused(400, "a header line has no name");
        }
        std::string name = lower(field.substr(0, colon));
        std::string_view value = trimmed(field.substr(colon + 1));
        if (name == "content-length") {
            auto length = whole_number(value);
            if (!length || (out.content_length && *out.content_length != *length)) {
                return refused(400, "the Content-Length header is not one whole number");
            }
            out.content_length = length;
        } else if (name == "transfer-encoding") {
            if (lower(value) != "chunked") {
                return refused(501, "only the chunked transfer coding is served");
            }
            out.chunked = true;
        } else if (name == "connection") {
            if (lists(value, "close")) {
                keep_alive = false;
            } else if (lists(value, "keep-alive")) {
                keep_alive = true;
            }
        } else if (name == "authorization") {
            out.request.authorizations.emplace_back(value);
        } else if (name == "norva-owner") {
            out.request.owned_by_connection = lower(value) == "connection";
        } else if (name == "content-type") {
            out.request.sends_protobuf = media_type(value) == "application/x-protobuf";
        } else if (name == "accept") {
            out.request.accepts_protobuf = accepts(value, "application/x-protobuf");
        } else if (name == "expect") {
            out.expects_continue = lower(value) == "100-continue";
        }
    }
    if (out.chunked && out.content_length) {
        return refused(400, "a request may not have both Content-Length and Transfer-Encoding");
    }
    out.request.keep_alive = keep_alive.value_or(http_1_1);
    return out;
}

// Decodes a chunked body from `data`; nothing while it is incomplete. `consumed` gets the bytes
// it took, trailers included.
std::variant<std::monostate, Parse, std::string> chunked_body(std::string_view data,
                                                              std::size_t max_body,
                                                              std::size_t& consumed) {
    std::string body;
    std::size_t at = 0;
    for (;;) {
        auto line_end = data.find('\n', at);
        if (line_end == std::string_view::npos) {
            return std::monostate();
        }
        auto size_text = trimmed(data.substr(at, line_end - at));
        size_text = size_text.substr(0, size_text.find(';'));
        auto size = whole_number(trimmed(size_text), 16);
        if (!size) {
            return refused(400, "a chunk of the body has no size");
        }
        at = line_end + 1;
        if (*size == 0) {
            break;
        }
        if (*size > max_body - body.size()) {
            return refused(413, "the request body is " + over_message_limit(max_body));
        }
        if (data.size() < at + *size + 1) {
            return std::monostate();
        }
        body.append(data.substr(at, *size));
        at += *size;
        auto chunk_end = data.find('\n', at);
        if (chunk_end == std::string_view::npos) {
            return std::monostate();
        }
        if (!trimmed(data.substr(at, chunk_end - at)).empty()) {
            return refused(400, "a chunk of the body is longer than its size says");
        }
        at = chunk_end + 1;
    }
    // Trailer fields, then the empty line.
    for (;;) {
        auto line_end = data.find('\n', at);
        if (line_end == std::string_view::npos) {
            return std::monostate();
        }
        bool empty = trimmed(data.substr(at, line_end - at)).empty();
        at = line_end + 1;
        if (empty) {
            consumed = at;
            return body;
        }
    }
}

std::string_view reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 413:
            return "Content Too Large";
        case 422:
            return "Unprocessable Content";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Unknown";
    }
}

}  // namespace

Parse parse_request(std::string_view data, std::size_t max_body) {
    // Empty lines before a request are allowed and skipped.
    std::size_t skipped = 0;
    while (skipped < data.size() && (data[skipped] == '\r' || data[skipped] == '\n')) {
        ++skipped;
    }
    data.remove_prefix(skipped);
    auto end = head_end(data);
    if (!end) {
        return data.size() > MAX_HEAD ? refused(431, "the request's head is longer than 64 KiB")
                                      : Parse{};
    }
    if (*end > MAX_HEAD) {
        return refused(431, "the request's head is longer than 64 KiB");
    }
    auto head = read_head(data.substr(0, *end));
    if (auto* refusal = std::get_if<Parse>(&head)) {
        return std::move(*refusal);
    }
    auto& parsed = std::get<Head>(head);
    Parse parse;
    parse.request = std::move(parsed.request);
    std::string_view rest = data.substr(*end);
    if (parsed.chunked) {
        std::size_t consumed = 0;
        auto body = chunked_body(rest, max_body, consumed);
        if (auto* refusal = std::get_if<Parse>(&body)) {
            return std::move(*refusal);
        }
        if (auto* text = std::get_if<std::string>(&body)) {
            parse.state = Parse::State::complete;
            parse.request.body = std::move(*text);
            parse.consumed = skipped + *end + consumed;
            return parse;
        }
        parse.expects_continue = parsed.expects_continue;
        return parse;
    }
    std::size_t length = parsed.content_length.value_or(0);
    if (length > max_body) {
        return refused(413, "the request body is " + over_message_limit(max_body));
    }
    if (rest.size() < length) {
        parse.expects_continue = parsed.expects_continue;
        return parse;
    }
    parse.state = Parse::State::complete;
    parse.request.body = std::string(rest.substr(0, length));
    parse.consumed = skipped + *end + length;
    return parse;
}

std::string response(int status, std::string_view body, bool keep_alive,
                     std::string_view content_type) {
    std::string text = fmt::format(
        "HTTP/1.1 {} {}\r\nContent-Type: {}\r\nContent-Length: {}\r\n{}\r\n", status,
        reason(status), content_type, body.size(), keep_alive ? "" : "Connection: close\r\n");
    text += body;
    return text;
}

}  // namespace norva_core::sim::http_wire
