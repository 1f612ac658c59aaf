#pragma once

namespace kivtest {

// True when this process runs in a private network namespace made by
// scripts/netns-run (another namespace than process 1's, only loopback).
bool inPrivateNetwork();

} // namespace kivtest
