#pragma once

// Whether a test program built for Windows runs under wine, where a few
// things differ from Windows (the tests say which, where they skip).

#ifdef _WIN32
#include <windows.h>
#endif

namespace kivtest {

inline bool isWineProcess()
{
#ifdef _WIN32
    // wine's ntdll exports its version; Windows' does not.
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

} // namespace kivtest
