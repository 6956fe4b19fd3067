#include <io.h>
#include <windows.h>

#include <algorithm>

#include "base/directory.h"
#include "base/fault_hook.h"

namespace keldrin::fs {

namespace {

std::wstring wide(std::u16string_view name) {
    return std::wstring(name.begin(), name.end());
}

}  // namespace

bool isDirectory(const std::u16string& path) {
    DWORD attributes = GetFileAttributesW(wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::optional<std::vector<std::u16string>> listDirectory(const std::u16string& path) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(wide(path + u"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return std::nullopt;
    std::vector<std::u16string> names;
    do {
        std::u16string name(reinterpret_cast<const char16_t*>(found.cFileName));
        if (name == u"." || name == u"..") continue;
        names.push_back(std::move(name));
    } while (FindNextFileW(search, &found));
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    if (!complete) return std::nullopt;
    std::sort(names.begin(), names.end());
    return names;
}

bool syncDirectory(const std::u16string& path) {
    return detail::faultAllows(FaultOp::kSync, nullptr, 0, 0, path);
}

bool isTerminal(std::FILE* stream) {
    return stream != nullptr && _isatty(_fileno(stream)) != 0;
}

}  // namespace keldrin::fs
