// The platform layer behind text.h: the two conversion primitives with the calling
// conventions of the Windows functions they stand for, and the system's text for the
// last error. One backend per platform: codepage_posix.cpp (glibc iconv, the process
// locale standing for the system code pages) and codepage_win32.cpp (kernel32).
#pragma once

#include <string>
#include <string_view>

namespace keldrin::platform {

// Like MultiByteToWideChar: with out == nullptr returns the number of code units the
// input yields; otherwise converts into at most outUnits units and returns the number
// written. 0 means failure (and sets the last error).
int multiByteToWideChar(unsigned codePage, unsigned flags, const char* in, int inBytes,
                        char16_t* out, int outUnits);

// Like WideCharToMultiByte. Characters the code page cannot carry become the default
// character ("?" unless `defaultChar` names another); `usedDefault`, when given, is set
// when that happened.
int wideCharToMultiByte(unsigned codePage, unsigned flags, const char16_t* in, int inUnits,
                        char* out, int outBytes, const char* defaultChar, bool* usedDefault);

// The system's text for this thread's last error, taken before any other call.
std::u16string lastErrorText();
// The system's text for an error code of its own (errno, GetLastError).
std::u16string lastErrorTextFor(unsigned long code);

// The real code page that an identifier stands for right now (CP_ACP, CP_OEMCP are
// resolved; others are returned unchanged).
unsigned resolveCodePage(unsigned codePage);

// Makes CP_ACP stand for `codePage` in this process from now on, in place of the one the
// system or locale gives (0 puts that back). False, and nothing changed, when the
// platform cannot convert that code page.
bool overrideAnsiCodePage(unsigned codePage);

// Like IsDBCSLeadByteEx: true when `byte` starts a two-byte character in the code page
// (CP_ACP and CP_OEMCP as resolveCodePage resolves them). Single-byte pages and UTF-8
// have none.
bool isLeadByte(unsigned codePage, unsigned char byte);

// `text` in the form under which a case-insensitive file system compares names: every
// character through Unicode's simple case mappings, the same on every platform and in
// every locale. Surrogate pairs stay together; text outside the mappings is unchanged.
std::u16string foldCase(std::u16string_view text);

}  // namespace keldrin::platform
