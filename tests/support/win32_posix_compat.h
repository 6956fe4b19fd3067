// The few POSIX calls the tests use for scratch directories and environment settings,
// given their Windows equivalents so the same tests build and run on Windows. Every test
// and helper that calls one of them includes this header; elsewhere it is empty.
#pragma once

#if defined(_WIN32)

#include <direct.h>
#include <io.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>

// Replaces the trailing XXXXXX with a unique suffix and creates that directory.
inline char* mkdtemp(char* pattern) {
    std::size_t n = std::strlen(pattern);
    if (n < 6 || std::strcmp(pattern + n - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::memcpy(pattern + n - 6, "XXXXXX", 6);
        if (_mktemp_s(pattern, n + 1) != 0) return nullptr;
        if (_mkdir(pattern) == 0) return pattern;
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

// The environment changes, but Windows takes its code pages from the system settings,
// not from LC_ALL or LANG: tests that depend on a locale's code page hold only where the
// system's code page is that one (1252 in the Windows CI).
inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name) != nullptr) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) {
    return _putenv_s(name, "") == 0 ? 0 : -1;
}

// POSIX permission bits do not bind on Windows (a directory's read-only attribute does
// not stop files being made in it), just as they do not bind root: the tests that
// depend on them skip here as they do for root.
inline unsigned geteuid() {
    return 0;
}

#endif
