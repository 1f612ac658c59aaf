#pragma once

// The dashboard's request rules as one plain function over a request's head:
// which file or feed it asks for, and whether it may have it (Host, token,
// Origin, path, method). No sockets, no threads: the server calls it for
// every request and the fuzz target calls it with anything at all.

#include <cstdint>
#include <string>
#include <string_view>

namespace DashboardHttp {

enum class Route { None, Page, Style, Script, Frames, Events };

// What of a request the rules read. Absent headers are empty views.
struct Request {
    std::string_view method;
    std::string_view target;        // as sent: path and query, never decoded
    std::string_view host;          // the Host header
    bool hasHost = false;
    std::string_view origin;        // the Origin header
    bool hasOrigin = false;
    std::string_view authorization; // the Authorization header
    std::string_view cookie;        // the Cookie header (all of them, joined with "; ")
    bool upgrade = false;           // a WebSocket upgrade
};

// What the server was told to serve on.
struct Policy {
    std::string address;  // the bound IPv4 address, dotted; "0.0.0.0" for every interface
    std::uint16_t port = 0;
    std::string token;    // empty: no token asked for (loopback only)
};

struct Verdict {
    int status = 404;          // 200 when the route may be served
    Route route = Route::None; // set only with 200
    bool setCookie = false;    // the token came in the query: hand it back as a cookie
    const char* reason = "";   // why a request was refused, for the response's body
};

// The name of the cookie that carries the token after the first visit.
inline constexpr std::string_view TOKEN_COOKIE = "kivwatch_token";

// The rules, in the order they are applied: a Host header that names the
// bound address, localhost or 127.0.0.1 (400 without one, 403 for another);
// the token, when there is one, as "?token=", cookie or bearer (401); one of
// the embedded paths, matched byte for byte (404); GET or HEAD (405); the
// feed only as a WebSocket upgrade (426) and the files never as one (400);
// an upgrade's Origin, when it has one, the page's own (403).
Verdict check(const Request& request, const Policy& policy);

// True when `token` is one a command line may give: 8 to 128 characters of
// A-Z, a-z, 0-9, '.', '_', '~' and '-' (safe in a URL and in a cookie unencoded).
bool validToken(std::string_view token);

// Compares in time that depends on the lengths only, not on where they differ.
bool sameSecret(std::string_view a, std::string_view b);

// Whether the two texts are equal with ASCII letters of either case, as HTTP
// compares host names and scheme words.
bool equalNoCase(std::string_view a, std::string_view b);

} // namespace DashboardHttp
