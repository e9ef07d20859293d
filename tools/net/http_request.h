// The HTTP request reader of the tool's two servers, `vorc camera` (the
// stand-in camera) and `vorc serve` (the web server): one small strict
// parser of a request head with limits on the request line, the header lines
// and their count, so that neither server keeps more than a few kilobytes
// for a client that never finishes asking.
#ifndef VORC_TOOLS_NET_HTTP_REQUEST_H
#define VORC_TOOLS_NET_HTTP_REQUEST_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct HttpLimits {
    size_t maxRequestLineBytes = 2048;
    size_t maxHeadBytes = 8192;  // request line, header lines and line ends
    size_t maxHeaderLines = 64;
};

struct HttpRequest {
    std::string method;
    std::string path;   // the target up to '?'
    std::string query;  // after '?', without it
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case

    // The value of name=value in the query ("" for a bare name), or nothing.
    std::optional<std::string> queryParameter(std::string_view name) const;
    // The value of the first header line of name (in lower case), or nothing.
    std::optional<std::string> header(std::string_view name) const;
};

enum class HttpHeadState { Incomplete, Complete, Bad };

struct HttpHead {
    HttpHeadState state = HttpHeadState::Incomplete;
    int status = 0;        // with Bad: 400, 414, 431 or 505
    HttpRequest request;   // with Complete
};

// Reads the request head at the start of received, which holds every byte
// of the connection so far. Lines end in CR LF or a lone LF; empty lines
// before the request line are skipped, the first one after it ends the
// head. Incomplete means: receive more and call again (received never needs
// to grow beyond maxHeadBytes).
HttpHead parseHttpHead(std::string_view received, const HttpLimits& limits = HttpLimits());

// "404 Not Found" and the like for the status codes the servers send.
const char* httpStatusText(int status);

#endif
