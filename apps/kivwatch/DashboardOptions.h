#pragma once

#include "apps/kivwatch/WatchOptions.h"

#include <string>

// --http [ADDRESS:]PORT and --http-token into `o`: an address that is not
// loopback only with a token, a token of the characters that need no
// encoding. Returns the problem for the error message, or "" when none.
std::string readHttpOptions(const std::string& http, const std::string& token, WatchOptions& o);
