// Windows backend of the code-page layer: kernel32 does the conversions with the code
// page and flags the caller asks for, and FormatMessageW gives the text of the last
// error.
#include <windows.h>

#include <string>
#include <string_view>
#include <utility>

#include "base/codepage.h"

namespace keldrin::platform {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

// Code pages for which kernel32 refuses every conversion flag (and, converting to
// them, a default character): the call fails with ERROR_INVALID_FLAGS or
// ERROR_INVALID_PARAMETER instead of converting. A system whose ANSI code page is
// UTF-8 turns CP_ACP into one of them, so the flags are dropped there rather than
// losing every name to a failed call.
bool takesNoFlags(unsigned codePage) {
    switch (codePage) {
        case 42:  // symbol
        case 50220:
        case 50221:
        case 50222:
        case 50225:
        case 50227:
        case 50229:
        case 54936:
        case 65000:
        case CP_UTF8:
            return true;
        default:
            return codePage >= 57002 && codePage <= 57011;
    }
}

// The 80-character buffer holds the system's usual one-line messages; a longer
// message is fetched whole rather than lost.
constexpr DWORD kMessageBufferChars = 80;

}  // namespace

namespace {
// The code page a user chose for CP_ACP (keldrin-pbl --codepage); 0: the system's.
unsigned ansiOverride = 0;

// The code page to hand kernel32: the chosen one in place of CP_ACP.
unsigned effectiveCodePage(unsigned codePage) {
    return codePage == CP_ACP && ansiOverride != 0 ? ansiOverride : codePage;
}
}  // namespace

bool overrideAnsiCodePage(unsigned codePage) {
    if (codePage != 0 &&
        (codePage == CP_ACP || codePage == CP_OEMCP || IsValidCodePage(codePage) == FALSE))
        return false;
    ansiOverride = codePage;
    return true;
}

unsigned resolveCodePage(unsigned codePage) {
    codePage = effectiveCodePage(codePage);
    if (codePage == CP_ACP) return GetACP();
    if (codePage == CP_OEMCP) return GetOEMCP();
    return codePage;
}

int multiByteToWideChar(unsigned codePage, unsigned flags, const char* in, int inBytes,
                        char16_t* out, int outUnits) {
    // -1 would make kernel32 measure a zero-terminated input; callers always count.
    if (in == nullptr || inBytes <= 0 || outUnits < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    codePage = effectiveCodePage(codePage);
    if (takesNoFlags(resolveCodePage(codePage))) flags = 0;
    return MultiByteToWideChar(codePage, flags, in, inBytes, reinterpret_cast<LPWSTR>(out),
                               out == nullptr ? 0 : outUnits);
}

int wideCharToMultiByte(unsigned codePage, unsigned flags, const char16_t* in, int inUnits,
                        char* out, int outBytes, const char* defaultChar, bool* usedDefault) {
    if (in == nullptr || inUnits <= 0 || outBytes < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    codePage = effectiveCodePage(codePage);
    BOOL used = FALSE;
    BOOL* usedPointer = usedDefault != nullptr ? &used : nullptr;
    if (takesNoFlags(resolveCodePage(codePage))) {
        flags = 0;
        defaultChar = nullptr;
        usedPointer = nullptr;
    }
    int result = WideCharToMultiByte(codePage, flags, reinterpret_cast<LPCWCH>(in), inUnits, out,
                                     out == nullptr ? 0 : outBytes, defaultChar, usedPointer);
    if (usedDefault != nullptr) *usedDefault = used != FALSE;
    return result;
}

bool isLeadByte(unsigned codePage, unsigned char byte) {
    return IsDBCSLeadByteEx(resolveCodePage(codePage), byte) != FALSE;
}

std::u16string foldCase(std::u16string_view text) {
    if (text.empty()) return std::u16string();
    // Upper, then lower, by the invariant locale's tables: names that either mapping
    // makes one fold together, as NTFS compares by its upper-case table.
    std::u16string out(text);
    const int units = static_cast<int>(out.size());
    for (DWORD mapping : {DWORD{LCMAP_UPPERCASE}, DWORD{LCMAP_LOWERCASE}}) {
        std::u16string mapped(out.size(), u'\0');
        const int n = LCMapStringW(LOCALE_INVARIANT, mapping, reinterpret_cast<LPCWSTR>(out.data()),
                                   units, reinterpret_cast<LPWSTR>(mapped.data()), units);
        // Simple mappings keep the length; anything else leaves the text as it was.
        if (n != units) return std::u16string(text);
        out = std::move(mapped);
    }
    return out;
}

std::u16string lastErrorText() {
    return lastErrorTextFor(GetLastError());
}

std::u16string lastErrorTextFor(unsigned long errorCode) {
    const auto code = static_cast<DWORD>(errorCode);
    wchar_t buffer[kMessageBufferChars];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buffer,
                             kMessageBufferChars, nullptr);
    if (n > 0) return std::u16string(reinterpret_cast<const char16_t*>(buffer), n);

    if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        LPWSTR allocated = nullptr;
        n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                           code, 0, reinterpret_cast<LPWSTR>(&allocated), 0, nullptr);
        if (n > 0 && allocated != nullptr) {
            std::u16string text(reinterpret_cast<const char16_t*>(allocated), n);
            LocalFree(allocated);
            return text;
        }
        if (allocated != nullptr) LocalFree(allocated);
    }
    // No text for this code: the code itself still tells a reader what went wrong.
    std::u16string text = u"Error ";
    std::string digits = std::to_string(code);
    text.append(digits.begin(), digits.end());
    return text;
}

}  // namespace keldrin::platform
