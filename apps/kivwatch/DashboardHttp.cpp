#include "apps/kivwatch/DashboardHttp.h"

#include <array>
#include <cctype>

namespace DashboardHttp {
bool equalNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

namespace {

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// A dotted IPv4 literal: four numbers 0 to 255 written as a browser writes them.
bool ipv4Literal(std::string_view s)
{
    int parts = 0;
    while (true) {
        std::size_t digits = 0;
        int value = 0;
        while (digits < s.size() && digits < 4 && std::isdigit(static_cast<unsigned char>(s[digits]))) {
            value = value * 10 + (s[digits] - '0');
            ++digits;
        }
        // No leading zeros: some resolvers read "010" as octal.
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && s[0] == '0'))
            return false;
        s.remove_prefix(digits);
        ++parts;
        if (parts == 4)
            return s.empty();
        if (s.empty() || s.front() != '.')
            return false;
        s.remove_prefix(1);
    }
}

// The Host header names this server: its name is the bound address,
// localhost or 127.0.0.1 (any IPv4 literal when bound to every interface,
// since a rebinding attack needs a domain name), and its port, if written,
// the bound port.
bool hostAllowed(std::string_view host, const Policy& policy)
{
    host = trim(host);
    std::string_view name = host;
    const std::size_t colon = host.rfind(':');
    if (colon != std::string_view::npos) {
        name = host.substr(0, colon);
        const std::string_view port = host.substr(colon + 1);
        if (port.empty() || port.size() > 5 || (port.size() > 1 && port[0] == '0'))
            return false;
        unsigned value = 0;
        for (const char c : port) {
            if (!std::isdigit(static_cast<unsigned char>(c)))
                return false;
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (value != policy.port)
            return false;
    } else if (policy.port != 80) {
        return false;
    }
    if (name.empty())
        return false;
    if (equalNoCase(name, "localhost") || name == "127.0.0.1" || name == policy.address)
        return true;
    return policy.address == "0.0.0.0" && ipv4Literal(name);
}

// The value of `key` in a query ("a=1&token=x"), or nothing.
bool queryValue(std::string_view query, std::string_view key, std::string_view& value)
{
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const std::size_t eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == key) {
            value = pair.substr(eq + 1);
            return true;
        }
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return false;
}

bool cookieValue(std::string_view cookies, std::string_view name, std::string_view& value)
{
    while (!cookies.empty()) {
        const std::size_t semi = cookies.find(';');
        const std::string_view pair = trim(cookies.substr(0, semi));
        const std::size_t eq = pair.find('=');
        if (eq != std::string_view::npos && trim(pair.substr(0, eq)) == name) {
            value = trim(pair.substr(eq + 1));
            return true;
        }
        if (semi == std::string_view::npos)
            break;
        cookies.remove_prefix(semi + 1);
    }
    return false;
}

struct File {
    std::string_view path;
    Route route;
};
constexpr std::array<File, 6> ROUTES{{{"/", Route::Page},
                                      {"/index.html", Route::Page},
                                      {"/dashboard.css", Route::Style},
                                      {"/dashboard.js", Route::Script},
                                      {"/api/frames", Route::Frames},
                                      {"/events", Route::Events}}};

Verdict refuse(int status, const char* reason)
{
    Verdict v;
    v.status = status;
    v.reason = reason;
    return v;
}

} // namespace

bool validToken(std::string_view token)
{
    if (token.size() < 8 || token.size() > 128)
        return false;
    for (const char c : token)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '~' && c != '-')
            return false;
    return true;
}

bool sameSecret(std::string_view a, std::string_view b)
{
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

Verdict check(const Request& request, const Policy& policy)
{
    if (!request.hasHost)
        return refuse(400, "a request needs a Host header");
    if (!hostAllowed(request.host, policy))
        return refuse(403, "the Host header names another server");

    const std::size_t question = request.target.find('?');
    const std::string_view path = request.target.substr(0, question);
    const std::string_view query =
        question == std::string_view::npos ? std::string_view() : request.target.substr(question + 1);

    bool setCookie = false;
    if (!policy.token.empty()) {
        std::string_view given;
        bool ok = false;
        if (queryValue(query, "token", given)) {
            ok = sameSecret(given, policy.token);
            setCookie = ok;
        } else if (cookieValue(request.cookie, TOKEN_COOKIE, given)) {
            ok = sameSecret(given, policy.token);
        } else {
            const std::string_view auth = trim(request.authorization);
            if (auth.size() > 7 && equalNoCase(auth.substr(0, 7), "Bearer "))
                ok = sameSecret(trim(auth.substr(7)), policy.token);
        }
        if (!ok)
            return refuse(401, "this dashboard needs its token: open it with ?token=TOKEN");
    }

    Route route = Route::None;
    for (const File& file : ROUTES)
        if (file.path == path)
            route = file.route;
    if (route == Route::None)
        return refuse(404, "no such page");
    if (request.method != "GET" && request.method != "HEAD")
        return refuse(405, "the dashboard is read-only: GET and HEAD only");
    if (route == Route::Events && !request.upgrade)
        return refuse(426, "/events is a WebSocket");
    if (route != Route::Events && request.upgrade)
        return refuse(400, "only /events is a WebSocket");
    if (route == Route::Events && request.hasOrigin &&
        !equalNoCase(request.origin, "http://" + std::string(trim(request.host))))
        return refuse(403, "a WebSocket from another site's page");

    Verdict v;
    v.status = 200;
    v.route = route;
    v.setCookie = setCookie;
    return v;
}

} // namespace DashboardHttp
