// The strict HTTP request-head parser shared by `vorc camera` and `vorc
// serve`. It accepts only what a browser, curl or the library's live source
// send: "METHOD /target HTTP/1.x" (after any empty lines), then "Name:
// value" lines, each line ended by CR LF or LF. Anything else is a 400;
// overlong parts get 414 or 431.
#include "tools/net/http_request.h"

#include <algorithm>
#include <cctype>

namespace {

// The token characters of RFC 9110 section 5.6.2.
bool isTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar); }

bool isVisible(char c) { return c > 0x20 && c < 0x7F; }

// Header values: visible characters, spaces, tabs and bytes from 0x80 up.
bool isValueChar(char c) { return isVisible(c) || c == ' ' || c == '\t' || static_cast<unsigned char>(c) >= 0x80; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

HttpHead bad(int status) {
    HttpHead head;
    head.state = HttpHeadState::Bad;
    head.status = status;
    return head;
}

// "METHOD SP /target SP HTTP/1.x"; 0 when it is one, else the status to send.
int parseRequestLine(std::string_view line, HttpRequest* request) {
    const size_t firstSpace = line.find(' ');
    const size_t secondSpace = firstSpace == std::string_view::npos ? firstSpace : line.find(' ', firstSpace + 1);
    if (secondSpace == std::string_view::npos) return 400;
    const std::string_view method = line.substr(0, firstSpace);
    const std::string_view target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const std::string_view version = line.substr(secondSpace + 1);
    if (!isToken(method) || target.empty() || target.front() != '/' ||
        !std::all_of(target.begin(), target.end(), isVisible)) {
        return 400;
    }
    if (version.size() != 8 || version.compare(0, 5, "HTTP/") != 0 || !std::isdigit(static_cast<unsigned char>(version[5])) ||
        version[6] != '.' || !std::isdigit(static_cast<unsigned char>(version[7]))) {
        return 400;
    }
    if (version[5] != '1') return 505;
    request->method = std::string(method);
    const size_t question = target.find('?');
    request->path = std::string(target.substr(0, question));
    if (question != std::string_view::npos) request->query = std::string(target.substr(question + 1));
    return 0;
}

}  // namespace

std::optional<std::string> HttpRequest::queryParameter(std::string_view name) const {
    std::string_view rest = query;
    while (!rest.empty()) {
        const size_t end = std::min(rest.find('&'), rest.size());
        const std::string_view parameter = rest.substr(0, end);
        const size_t equals = parameter.find('=');
        if (parameter.substr(0, equals) == name) {
            return std::string(equals == std::string_view::npos ? std::string_view() : parameter.substr(equals + 1));
        }
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return std::nullopt;
}

std::optional<std::string> HttpRequest::header(std::string_view name) const {
    for (const auto& [headerName, value] : headers) {
        if (headerName == name) return value;
    }
    return std::nullopt;
}

HttpHead parseHttpHead(std::string_view received, const HttpLimits& limits) {
    HttpHead head;
    size_t lineStart = 0;
    size_t lines = 0;
    while (true) {
        const size_t lineEnd = received.find('\n', lineStart);
        const size_t available = lineEnd == std::string_view::npos ? received.size() : lineEnd + 1;
        if (lines == 0 && available - lineStart > limits.maxRequestLineBytes) return bad(414);
        if (available > limits.maxHeadBytes) return bad(431);
        if (lineEnd == std::string_view::npos) return head;

        std::string_view line = received.substr(lineStart, lineEnd - lineStart);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find('\r') != std::string_view::npos) return bad(400);
        lineStart = lineEnd + 1;
        // Empty lines before the request line (a client's line end left
        // over from an earlier request) are ignored, as HTTP asks of a
        // server; they count against the head's size.
        if (lines == 0 && line.empty()) continue;
        if (lines == 0) {
            if (const int status = parseRequestLine(line, &head.request)) return bad(status);
        } else if (line.empty()) {
            head.state = HttpHeadState::Complete;
            return head;
        } else {
            if (lines > limits.maxHeaderLines) return bad(431);
            // No folded lines, no space before the colon, a token as name.
            const size_t colon = line.find(':');
            if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return bad(400);
            const std::string_view value = trimmed(line.substr(colon + 1));
            if (!std::all_of(value.begin(), value.end(), isValueChar)) return bad(400);
            std::string name(line.substr(0, colon));
            std::transform(name.begin(), name.end(), name.begin(),
                           [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
            head.request.headers.emplace_back(std::move(name), std::string(value));
        }
        ++lines;
    }
}

const char* httpStatusText(int status) {
    switch (status) {
        case 200: return "200 OK";
        case 204: return "204 No Content";
        case 301: return "301 Moved Permanently";
        case 400: return "400 Bad Request";
        case 401: return "401 Unauthorized";
        case 404: return "404 Not Found";
        case 405: return "405 Method Not Allowed";
        case 408: return "408 Request Timeout";
        case 414: return "414 URI Too Long";
        case 431: return "431 Request Header Fields Too Large";
        case 503: return "503 Service Unavailable";
        case 505: return "505 HTTP Version Not Supported";
        default: return "500 Internal Server Error";
    }
}
