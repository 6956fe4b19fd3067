// Whether the Windows tests run under Wine, which stands in for Windows in CI: a few of
// its ole32 paths are far slower than Windows' own on damaged files.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace keldrin::test {

inline bool underWine() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

}  // namespace keldrin::test
