#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "base/directory.h"
#include "base/fault_hook.h"
#include "base/file.h"

namespace keldrin::fs {

bool isDirectory(const std::u16string& path) {
    struct stat st {};
    return ::stat(toNativeName(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::vector<std::u16string>> listDirectory(const std::u16string& path) {
    DIR* dir = ::opendir(toNativeName(path).c_str());
    if (dir == nullptr) return std::nullopt;
    std::vector<std::u16string> names;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        names.push_back(fromNativeName(name));
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool syncDirectory(const std::u16string& path) {
    if (!detail::faultAllows(FaultOp::kSync, nullptr, 0, 0, path)) return false;
    if (!detail::syncsReachDisk()) return true;
    int fd = ::open(toNativeName(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok;
}

bool isTerminal(std::FILE* stream) {
    return stream != nullptr && ::isatty(::fileno(stream)) == 1;
}

}  // namespace keldrin::fs
