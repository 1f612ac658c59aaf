#pragma once

// The dashboard's files, embedded at build time from apps/kivwatch/page/.

#include <string_view>

namespace DashboardPage {
std::string_view page();   // index.html
std::string_view style();  // dashboard.css
std::string_view script(); // dashboard.js
} // namespace DashboardPage
