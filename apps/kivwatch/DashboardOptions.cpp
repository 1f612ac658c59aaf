#include "apps/kivwatch/DashboardOptions.h"

#include "apps/kivwatch/DashboardHttp.h"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/format.hpp>

std::string readHttpOptions(const std::string& text, const std::string& token, WatchOptions& o)
{
    const std::size_t colon = text.rfind(':');
    const std::string address = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    const auto bad = [&text]() {
        return (boost::format("--http \"%s\" is not [ADDRESS:]PORT (such as 8080, 127.0.0.1:8080 or 0.0.0.0:8080)") %
                text)
            .str();
    };
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) > 65535)
        return bad();
    boost::system::error_code ec;
    const boost::asio::ip::address_v4 parsed = boost::asio::ip::make_address_v4(address, ec);
    if (ec)
        return bad();
    if (!token.empty() && !DashboardHttp::validToken(token))
        return "--http-token needs 8 to 128 characters of A-Z, a-z, 0-9, '.', '_', '~' and '-'";
    if (token.empty() && !parsed.is_loopback())
        return (boost::format("--http %s would let anyone on the network read the dashboard; give "
                              "--http-token TOKEN too, or bind 127.0.0.1") %
                text)
            .str();
    o.httpAddress = parsed.to_string();
    o.httpPort = static_cast<std::uint16_t>(std::stoul(port));
    o.httpToken = token;
    return {};
}
