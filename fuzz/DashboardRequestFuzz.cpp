// kivwatch's dashboard request rules (routing, token, Host and Origin). The
// input: one byte of flags (bit 0: a token is asked for, bit 1: bound to
// every interface, bit 2: a WebSocket upgrade, bit 3: a Host header, bit 4:
// an Origin header), then the method, target, Host, Origin, Authorization and
// Cookie values separated by NUL bytes.

#include "FuzzCheck.h"

#include "apps/kivwatch/DashboardHttp.h"

#include <array>
#include <string>
#include <string_view>

namespace {

const std::string TOKEN = "s3cret-token";

using DashboardHttp::equalNoCase;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t flags = data[0];
    std::array<std::string, 6> fields;
    std::size_t field = 0;
    for (std::size_t i = 1; i < size && field < fields.size(); ++i) {
        if (data[i] == 0)
            ++field;
        else
            fields[field] += static_cast<char>(data[i]);
    }
    DashboardHttp::Request r;
    r.method = fields[0];
    r.target = fields[1];
    r.host = fields[2];
    r.origin = fields[3];
    r.authorization = fields[4];
    r.cookie = fields[5];
    r.upgrade = (flags & 4) != 0;
    r.hasHost = (flags & 8) != 0;
    r.hasOrigin = (flags & 16) != 0;
    DashboardHttp::Policy policy;
    policy.address = (flags & 2) != 0 ? "0.0.0.0" : "127.0.0.1";
    policy.port = 8080;
    policy.token = (flags & 1) != 0 ? TOKEN : "";

    const DashboardHttp::Verdict v = DashboardHttp::check(r, policy);
    FUZZ_CHECK((v.status == 200) == (v.route != DashboardHttp::Route::None));
    FUZZ_CHECK(v.status == 200 || v.status == 400 || v.status == 401 || v.status == 403 || v.status == 404 ||
               v.status == 405 || v.status == 426);
    FUZZ_CHECK(!v.setCookie || (v.status == 200 && !policy.token.empty()));
    if (v.status != 200)
        return 0;
    // Served: a request to this server, with the token, for an embedded path, read-only.
    FUZZ_CHECK(r.hasHost);
    FUZZ_CHECK(r.method == "GET" || r.method == "HEAD");
    FUZZ_CHECK(policy.token.empty() || fields[1].find(TOKEN) != std::string::npos ||
               fields[4].find(TOKEN) != std::string::npos || fields[5].find(TOKEN) != std::string::npos);
    const std::string_view path = r.target.substr(0, r.target.find('?'));
    FUZZ_CHECK(path == "/" || path == "/index.html" || path == "/dashboard.css" || path == "/dashboard.js" ||
               path == "/api/frames" || path == "/events");
    FUZZ_CHECK((v.route == DashboardHttp::Route::Events) == r.upgrade);
    std::string_view host = r.host;
    while (!host.empty() && (host.front() == ' ' || host.front() == '\t'))
        host.remove_prefix(1);
    while (!host.empty() && (host.back() == ' ' || host.back() == '\t'))
        host.remove_suffix(1);
    FUZZ_CHECK(host.ends_with(":8080"));
    const std::string_view name = host.substr(0, host.size() - 5);
    FUZZ_CHECK(equalNoCase(name, "localhost") || name == "127.0.0.1" ||
               (policy.address == "0.0.0.0" && name.find_first_not_of("0123456789.") == std::string_view::npos));
    if (v.route == DashboardHttp::Route::Events && r.hasOrigin)
        FUZZ_CHECK(equalNoCase(r.origin, "http://" + std::string(host)));
    return 0;
}
