// The rules every request to `vorc serve` meets, whichever address or
// camera it names: the methods served (GET, HEAD, and OPTIONS for a
// browser's cross-origin check), the viewer login (HTTP Basic, with health
// and metrics optionally open), and the header lines of every answer (Date,
// Cache-Control and, when asked for, CORS's).
#ifndef VORC_TOOLS_SERVE_HTTP_ACCESS_H
#define VORC_TOOLS_SERVE_HTTP_ACCESS_H

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "tools/net/http_login.h"
#include "tools/net/http_request.h"

struct HttpAccessSettings {
    std::optional<LoginTable> logins;  // when set, viewers must log in
    // Addresses whose last part is "health" or "metrics" answer without a
    // login, for monitoring.
    bool openHealth = false;
    bool openMetrics = false;
    // Origins whose pages may read the answers (CORS): "*" for any, or
    // origins such as "https://example.org"; none by default.
    std::vector<std::string> allowedOrigins;
};

// An answer given instead of the one of the address asked for.
struct HttpRefusal {
    int status;
    std::string headers;  // extra header lines, each ended by CR LF
};

class HttpAccess {
public:
    explicit HttpAccess(HttpAccessSettings settings) : settings_(std::move(settings)) {}

    // Nothing when the request goes on to its address; else 405 for a
    // method not served, 204 for OPTIONS, or 401 with WWW-Authenticate for
    // a missing or refused login.
    std::optional<HttpRefusal> refusal(const HttpRequest& request) const;

    // The header lines every answer to request carries, each ended by CR
    // LF (a request that could not be read is passed as an empty one).
    std::string answerHeaders(const HttpRequest& request) const;

    // HEAD: the same head as GET, without the body.
    static bool headOnly(const HttpRequest& request) { return request.method == "HEAD"; }

private:
    bool isOpen(const std::string& path) const;
    std::string corsHeaders(const HttpRequest& request) const;

    const HttpAccessSettings settings_;
};

// The value of the Date header for a time, as "Sun, 06 Nov 1994 08:49:37 GMT".
std::string httpDate(std::time_t time);

#endif
