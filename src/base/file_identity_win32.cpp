// A file's identity on Windows: its volume serial number and file index.
#include <io.h>
#include <windows.h>

#include "base/file_identity.h"

namespace keldrin::fs {

bool isOpenFile(std::FILE* open, const std::u16string& path) {
    if (open == nullptr) return false;
    auto openHandle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(open)));
    if (openHandle == INVALID_HANDLE_VALUE) return false;
    HANDLE named = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    bool same = GetFileInformationByHandle(openHandle, &a) &&
                GetFileInformationByHandle(named, &b) &&
                a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(named);
    return same;
}

}  // namespace keldrin::fs
