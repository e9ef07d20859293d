// The request rules of `vorc serve`: methods, the viewer login, and the
// header lines that every answer carries.
#include "tools/serve/http_access.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr const char* AllowedMethods = "GET, HEAD, OPTIONS";
// A browser may keep the answer of its cross-origin check this long.
constexpr int PreflightSeconds = 600;

// The last part of a path: "health" of "/health" and of "/cam/yard/health".
std::string lastPart(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

std::string httpDate(std::time_t time) {
    // Formatted by hand: strftime's names follow the locale, HTTP's do not.
    static const char* const Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm parts{};
    ::gmtime_r(&time, &parts);
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", Days[parts.tm_wday], parts.tm_mday,
                  Months[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

bool HttpAccess::isOpen(const std::string& path) const {
    const std::string part = lastPart(path);
    return (settings_.openHealth && part == "health") || (settings_.openMetrics && part == "metrics");
}

std::optional<HttpRefusal> HttpAccess::refusal(const HttpRequest& request) const {
    if (request.method == "OPTIONS") {
        // A browser's check before a cross-origin request, which never
        // carries a login.
        std::string headers = std::string("Allow: ") + AllowedMethods + "\r\n";
        if (!settings_.allowedOrigins.empty()) {
            headers += std::string("Access-Control-Allow-Methods: GET, HEAD\r\n") +
                       "Access-Control-Allow-Headers: Authorization\r\n" +
                       "Access-Control-Max-Age: " + std::to_string(PreflightSeconds) + "\r\n";
        }
        return HttpRefusal{204, headers};
    }
    if (request.method != "GET" && request.method != "HEAD") {
        return HttpRefusal{405, std::string("Allow: ") + AllowedMethods + "\r\n"};
    }
    if (!settings_.logins || isOpen(request.path)) return std::nullopt;
    const std::optional<std::string> authorization = request.header("authorization");
    if (authorization && settings_.logins->accepts(*authorization)) return std::nullopt;
    return HttpRefusal{401, "WWW-Authenticate: Basic realm=\"vorc serve\", charset=\"UTF-8\"\r\n"};
}

std::string HttpAccess::corsHeaders(const HttpRequest& request) const {
    const std::vector<std::string>& allowed = settings_.allowedOrigins;
    if (allowed.empty()) return std::string();
    if (std::find(allowed.begin(), allowed.end(), "*") != allowed.end()) return "Access-Control-Allow-Origin: *\r\n";
    // Named origins: the answer names the one that asked, so it depends on it.
    std::string headers = "Vary: Origin\r\n";
    const std::optional<std::string> origin = request.header("origin");
    if (origin && std::find(allowed.begin(), allowed.end(), *origin) != allowed.end()) {
        headers += "Access-Control-Allow-Origin: " + *origin + "\r\n";
        if (settings_.logins) headers += "Access-Control-Allow-Credentials: true\r\n";
    }
    return headers;
}

std::string HttpAccess::answerHeaders(const HttpRequest& request) const {
    // Every answer is of the live moment: none may be kept and shown later.
    return "Date: " + httpDate(std::time(nullptr)) + "\r\nCache-Control: no-cache, no-store\r\n" + corsHeaders(request);
}
