// The dashboard's rules without sockets: what --http accepts on the command
// line, and the verdict on request heads (Host, token, path, method, Origin).
#include "apps/kivwatch/DashboardHttp.h"
#include "apps/kivwatch/WatchOptions.h"

#include <gtest/gtest.h>

namespace {

using DashboardHttp::Route;

WatchCommandLine parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "kivwatch");
    args.push_back("127.0.0.1");
    return readWatchCommandLine(args);
}

TEST(DashboardCommandLine, BindsLoopbackFreelyAndAnythingElseOnlyWithAToken)
{
    struct Case {
        std::vector<std::string> args;
        const char* address; // nullptr: refused
        int port;
        const char* message; // part of the error
    };
    const Case cases[] = {
        {{"--http", "8080"}, "127.0.0.1", 8080, ""},
        {{"--http", "127.0.0.5:0"}, "127.0.0.5", 0, ""},
        {{"--http", "0.0.0.0:8080", "--http-token", "s3cret-token"}, "0.0.0.0", 8080, ""},
        {{"--http", "8080", "--http-token", "s3cret-token"}, "127.0.0.1", 8080, ""},
        {{"--http", "0.0.0.0:8080"}, nullptr, 0, "give --http-token TOKEN"},
        {{"--http", "192.168.1.10:80"}, nullptr, 0, "give --http-token TOKEN"},
        {{"--http", "8080", "--http-token", "short"}, nullptr, 0, "8 to 128 characters"},
        {{"--http", "8080", "--http-token", "has space"}, nullptr, 0, "8 to 128 characters"},
        {{"--http", "8080", "--http-token", "semi;colon1"}, nullptr, 0, "8 to 128 characters"},
        {{"--http-token", "s3cret-token"}, nullptr, 0, "give --http too"},
        {{"--http-clients", "50"}, nullptr, 0, "give --http too"},
        {{"--http", "8080", "--http-clients", "0"}, nullptr, 0, "--http-clients"},
        {{"--http", "8080", "--http-clients", "1001"}, nullptr, 0, "--http-clients"},
        {{"--http", "65536"}, nullptr, 0, "is not [ADDRESS:]PORT"},
        {{"--http", "localhost:8080"}, nullptr, 0, "is not [ADDRESS:]PORT"},
        {{"--http", "127.0.0.1:"}, nullptr, 0, "is not [ADDRESS:]PORT"},
        {{"--http", "-1"}, nullptr, 0, "is not [ADDRESS:]PORT"},
    };
    for (const Case& c : cases) {
        const WatchCommandLine line = parse(c.args);
        const std::string label = c.args[0] + " " + c.args[1];
        if (c.address == nullptr) {
            EXPECT_EQ(line.kind, WatchCommandLine::Kind::Error) << label;
            EXPECT_NE(line.text.find(c.message), std::string::npos) << label << ": " << line.text;
            continue;
        }
        ASSERT_EQ(line.kind, WatchCommandLine::Kind::Run) << label << ": " << line.text;
        EXPECT_EQ(line.options.httpAddress, c.address) << label;
        ASSERT_TRUE(line.options.httpPort) << label;
        EXPECT_EQ(*line.options.httpPort, c.port) << label;
    }
    EXPECT_FALSE(parse({}).options.httpPort);
    EXPECT_EQ(parse({"--http", "8080"}).options.httpClients, 32);
    EXPECT_EQ(parse({"--http", "8080", "--http-clients", "50"}).options.httpClients, 50);
}

struct Head {
    const char* method = "GET";
    const char* target = "/";
    const char* host = "127.0.0.1:8080"; // nullptr: no Host header
    const char* origin = nullptr;
    const char* authorization = "";
    const char* cookie = "";
    bool upgrade = false;
};

DashboardHttp::Verdict verdict(const Head& h, const std::string& token, const std::string& address = "127.0.0.1")
{
    DashboardHttp::Request r;
    r.method = h.method;
    r.target = h.target;
    r.hasHost = h.host != nullptr;
    r.host = h.host != nullptr ? h.host : "";
    r.hasOrigin = h.origin != nullptr;
    r.origin = h.origin != nullptr ? h.origin : "";
    r.authorization = h.authorization;
    r.cookie = h.cookie;
    r.upgrade = h.upgrade;
    return DashboardHttp::check(r, DashboardHttp::Policy{address, 8080, token});
}

TEST(DashboardRules, ServeOnlyTheEmbeddedFilesToTheirOwnHostWithTheToken)
{
    const std::string token = "s3cret-token";
    struct Case {
        const char* what;
        Head head;
        int status;
        Route route;
    };
    const Case cases[] = {
        {"the page with the token in the query", {.target = "/?token=s3cret-token"}, 200, Route::Page},
        {"the page with the token cookie", {.cookie = "a=b; kivwatch_token=s3cret-token"}, 200, Route::Page},
        {"the snapshot with a bearer token", {.target = "/api/frames", .authorization = "Bearer s3cret-token"}, 200,
         Route::Frames},
        {"HEAD of the script", {.method = "HEAD", .target = "/dashboard.js", .cookie = "kivwatch_token=s3cret-token"},
         200, Route::Script},
        {"no token", {}, 401, Route::None},
        {"a wrong token", {.target = "/?token=s3cret-tokeN"}, 401, Route::None},
        {"a token one character longer", {.cookie = "kivwatch_token=s3cret-token1"}, 401, Route::None},
        {"a token cut short", {.authorization = "Bearer s3cret-toke"}, 401, Route::None},
        {"the token as Basic credentials", {.authorization = "Basic s3cret-token"}, 401, Route::None},
        {"the token under another cookie name", {.cookie = "token=s3cret-token"}, 401, Route::None},
        {"an unknown path without a token reveals nothing", {.target = "/etc/passwd"}, 401, Route::None},
        {"no Host header", {.host = nullptr, .cookie = "kivwatch_token=s3cret-token"}, 400, Route::None},
        {"a foreign Host (DNS rebinding)", {.host = "evil.example:8080", .cookie = "kivwatch_token=s3cret-token"}, 403,
         Route::None},
        {"the right name on another port", {.host = "127.0.0.1:8081", .cookie = "kivwatch_token=s3cret-token"}, 403,
         Route::None},
        {"localhost", {.host = "LocalHost:8080", .cookie = "kivwatch_token=s3cret-token"}, 200, Route::Page},
        {"the feed from its own page",
         {.target = "/events", .origin = "http://127.0.0.1:8080", .cookie = "kivwatch_token=s3cret-token", .upgrade = true},
         200, Route::Events},
        {"the feed from another site's page",
         {.target = "/events", .origin = "http://evil.example", .cookie = "kivwatch_token=s3cret-token", .upgrade = true},
         403, Route::None},
        {"the feed from a page of localhost on another port",
         {.target = "/events", .origin = "http://127.0.0.1:9090", .cookie = "kivwatch_token=s3cret-token", .upgrade = true},
         403, Route::None},
        {"the feed from a sandboxed page", {.target = "/events", .origin = "null", .cookie = "kivwatch_token=s3cret-token", .upgrade = true},
         403, Route::None},
        {"the feed without a token",
         {.target = "/events", .origin = "http://127.0.0.1:8080", .upgrade = true}, 401, Route::None},
        {"the feed as plain HTTP", {.target = "/events", .cookie = "kivwatch_token=s3cret-token"}, 426, Route::None},
        {"a page as a WebSocket", {.cookie = "kivwatch_token=s3cret-token", .upgrade = true}, 400, Route::None},
        {"POST", {.method = "POST", .cookie = "kivwatch_token=s3cret-token"}, 405, Route::None},
        {"PUT of the snapshot", {.method = "PUT", .target = "/api/frames", .cookie = "kivwatch_token=s3cret-token"}, 405,
         Route::None},
    };
    for (const Case& c : cases) {
        const DashboardHttp::Verdict v = verdict(c.head, token);
        EXPECT_EQ(v.status, c.status) << c.what;
        EXPECT_EQ(v.route, c.route) << c.what;
    }
    EXPECT_TRUE(verdict({.target = "/?token=s3cret-token"}, token).setCookie);
    EXPECT_FALSE(verdict({.cookie = "kivwatch_token=s3cret-token"}, token).setCookie);
}

TEST(DashboardRules, AnyPathButTheEmbeddedOnesIsNotFoundHoweverItIsWritten)
{
    for (const char* target :
         {"/..", "/../", "/../etc/passwd", "/%2e%2e/etc/passwd", "/%2E%2E%2Fetc%2Fpasswd", "/..%2f..%2fetc/passwd",
          "//etc/passwd", "/./", "/dashboard.js/..", "/page/../dashboard.js", "/dashboard.js%00", "/%64ashboard.js",
          "/index.html/", "/api/frames/", "/events/../api/frames", "\\..\\..\\windows\\win.ini", "/DASHBOARD.JS",
          "/favicon.ico", "", "*", "http://127.0.0.1:8080/"}) {
        const DashboardHttp::Verdict v = verdict({.target = target}, "");
        EXPECT_EQ(v.status, 404) << target;
        EXPECT_EQ(v.route, Route::None) << target;
    }
    // A query does not change the path, with or without a token.
    EXPECT_EQ(verdict({.target = "/dashboard.css?v=2"}, "").route, Route::Style);
}

TEST(DashboardRules, BoundToEveryInterfaceAnyIpv4LiteralNamesTheServerButNoDomainName)
{
    const std::string token = "s3cret-token";
    struct Case {
        const char* host;
        int status;
    };
    for (const Case& c : {Case{"10.1.2.3:8080", 200}, Case{"127.0.0.1:8080", 200}, Case{"localhost:8080", 200},
                          Case{"amps.example:8080", 403}, Case{"10.1.2.3.nip.io:8080", 403}, Case{"10.1.2.300:8080", 403},
                          Case{"10.1.2:8080", 403}, Case{"010.1.2.3:8080", 403}, Case{"10.1.2.3:08080", 403}, Case{":8080", 403}, Case{"10.1.2.3:", 403}}) {
        EXPECT_EQ(verdict({.host = c.host, .cookie = "kivwatch_token=s3cret-token"}, token, "0.0.0.0").status, c.status)
            << c.host;
    }
    // Bound to one address: that one, and the loopback names, only.
    EXPECT_EQ(verdict({.host = "10.1.2.3:8080", .cookie = "kivwatch_token=s3cret-token"}, token, "10.1.2.4").status, 403);
    EXPECT_EQ(verdict({.host = "10.1.2.4:8080", .cookie = "kivwatch_token=s3cret-token"}, token, "10.1.2.4").status, 200);
}

} // namespace
