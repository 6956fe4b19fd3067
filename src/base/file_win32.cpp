// Windows backend of the wide-name file layer. The system's wide names are what the
// W functions take, so they go to the system unchanged; no name ever passes through
// a code page on its way to a file.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/codepage.h"
#include "base/fault_hook.h"
#include "base/file.h"
#include "base/text.h"

namespace keldrin::fs {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

std::wstring wide(std::u16string_view name) {
    return std::wstring(name.begin(), name.end());
}

std::wstring wideMode(const char* mode) {
    std::wstring out;
    for (const char* p = mode; *p != '\0'; ++p) out.push_back(static_cast<wchar_t>(*p));
    return out;
}

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;

}  // namespace

std::FILE* openFile(const std::u16string& path, const char* mode) {
    return _wfopen(wide(path).c_str(), wideMode(mode).c_str());
}

std::FILE* createExclusive(const std::u16string& path, bool* nameTaken) {
    const std::wstring name = wide(path);
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (nameTaken != nullptr) {
        const DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        *nameTaken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    }
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        DeleteFileW(name.c_str());  // ours, just made: leave no empty file behind
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "w+b");
    if (file == nullptr) {
        _close(fd);  // closes the handle too
        DeleteFileW(name.c_str());
    }
    return file;
}

std::FILE* openOrCreate(const std::u16string& path) {
    const std::wstring name = wide(path);
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "r+b");
    if (file == nullptr) _close(fd);
    return file;
}

bool removeFile(const std::u16string& path) {
    if (!detail::faultAllows(FaultOp::kRemove, nullptr, 0, 0, path)) return false;
    return DeleteFileW(wide(path).c_str()) != FALSE;
}

bool fileExists(const std::u16string& path) {
    return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool replaceFile(const std::u16string& from, const std::u16string& to) {
    if (!detail::faultAllows(FaultOp::kRename, nullptr, 0, 0, from)) return false;
    return MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool canReplaceOpenFile() {
    return false;
}

bool keepAttributes(const std::u16string& original, const std::u16string& replacement) {
    DWORD kept = GetFileAttributesW(wide(original).c_str());
    if (kept == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    // Read-only stays off: it would make the new file refuse its own move into place,
    // and a read-only original is never replaced anyway. The attributes that describe
    // the content or its storage are the new file's own.
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    DWORD attributes = kept & kKept;
    if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileAttributesW(wide(replacement).c_str(), attributes) != FALSE;
}

bool renameNoReplace(const std::u16string& from, const std::u16string& to) {
    if (!detail::faultAllows(FaultOp::kRename, nullptr, 0, 0, from)) return false;
    // MoveFileW fails with ERROR_ALREADY_EXISTS when the target is there.
    return MoveFileW(wide(from).c_str(), wide(to).c_str()) != FALSE;
}

namespace {
bool diskFullError() {
    const DWORD code = GetLastError();
    return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL;
}
}  // namespace

std::string diskFullText() {
    return utf16ToUtf8(platform::lastErrorTextFor(ERROR_DISK_FULL));
}

bool syncFile(std::FILE* file) {
    if (!detail::faultAllows(FaultOp::kSync, file, 0, 0)) return detail::refused();
    if (std::fflush(file) != 0) return detail::noteOutcome(false, false);
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE) return detail::noteOutcome(false, false);
    const bool ok = FlushFileBuffers(handle) != FALSE;
    return detail::noteOutcome(ok, !ok && diskFullError());
}

bool isWriteProtected(const std::u16string& path) {
    DWORD attributes = GetFileAttributesW(wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool sameFile(const std::u16string& a, const std::u16string& b) {
    auto identify = [](const std::u16string& name, BY_HANDLE_FILE_INFORMATION& info) {
        // No access rights are needed to read a file's identity, and every kind of
        // sharing is allowed so an open file can be compared too.
        HANDLE handle = CreateFileW(wide(name).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return false;
        bool ok = GetFileInformationByHandle(handle, &info) != FALSE;
        CloseHandle(handle);
        return ok;
    };
    BY_HANDLE_FILE_INFORMATION ia{};
    BY_HANDLE_FILE_INFORMATION ib{};
    if (!identify(a, ia) || !identify(b, ib)) return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

std::int64_t fileSize(std::FILE* file) {
    if (std::fflush(file) != 0) return -1;
    struct _stati64 st {};
    if (_fstati64(_fileno(file), &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool truncateFile(std::FILE* file, std::int64_t length) {
    if (!detail::faultAllows(FaultOp::kTruncate, file, length, 0)) return false;
    return _chsize_s(_fileno(file), static_cast<__int64>(length)) == 0;
}

namespace {

// A positioned transfer on the stream's handle. Such a transfer moves a synchronous
// handle's file pointer; the C runtime keeps its own idea of the position, so the
// pointer is put back afterwards.
template <typename Transfer>
bool transferAt(std::FILE* file, std::size_t length, std::int64_t offset, Transfer transfer) {
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE || offset < 0) return false;
    LARGE_INTEGER zero{};
    LARGE_INTEGER saved{};
    if (!SetFilePointerEx(handle, zero, &saved, FILE_CURRENT)) return false;
    std::size_t done = 0;
    bool ok = true;
    while (done < length) {
        std::size_t rest = length - done;
        DWORD chunk = rest > 0x10000000 ? 0x10000000 : static_cast<DWORD>(rest);
        OVERLAPPED at{};
        const auto position = static_cast<std::uint64_t>(offset) + done;
        at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD moved = 0;
        if (!transfer(handle, done, chunk, &moved, &at) || moved == 0) {
            ok = false;
            break;
        }
        done += moved;
    }
    if (!SetFilePointerEx(handle, saved, nullptr, FILE_BEGIN)) ok = false;
    return ok;
}

}  // namespace

bool readFileAt(std::FILE* file, void* buffer, std::size_t length, std::int64_t offset) {
    auto* out = static_cast<char*>(buffer);
    return transferAt(file, length, offset,
                      [out](HANDLE h, std::size_t done, DWORD chunk, DWORD* moved, OVERLAPPED* at) {
                          return ReadFile(h, out + done, chunk, moved, at) != FALSE;
                      });
}

bool writeFileAt(std::FILE* file, const void* buffer, std::size_t length, std::int64_t offset) {
    if (!detail::faultAllows(FaultOp::kWrite, file, offset, length)) return detail::refused();
    const auto* in = static_cast<const char*>(buffer);
    SetLastError(ERROR_SUCCESS);
    const bool ok =
        transferAt(file, length, offset,
                   [in](HANDLE h, std::size_t done, DWORD chunk, DWORD* moved, OVERLAPPED* at) {
                       return WriteFile(h, in + done, chunk, moved, at) != FALSE;
                   });
    return detail::noteOutcome(ok, !ok && diskFullError());
}

// Windows has gathered writes only for unbuffered, page-aligned I/O: piece by piece.
bool readFileAtScattered(std::FILE* file, const ReadPiece* pieces, std::size_t count,
                         std::int64_t offset) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!readFileAt(file, pieces[i].data, pieces[i].size, offset)) return false;
        offset += static_cast<std::int64_t>(pieces[i].size);
    }
    return true;
}

bool writeFileAtGathered(std::FILE* file, const WritePiece* pieces, std::size_t count,
                         std::int64_t offset) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!writeFileAt(file, pieces[i].data, pieces[i].size, offset)) return false;
        offset += static_cast<std::int64_t>(pieces[i].size);
    }
    return true;
}

// The system writes back on its own schedule; FlushFileBuffers is the only wait.
void startWriteback(std::FILE* /*file*/) {}

bool seekTo(std::FILE* file, std::int64_t offset) {
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

bool setModificationTime(const std::u16string& path, std::int64_t unixSeconds) {
    HANDLE handle = CreateFileW(wide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    auto ticks = static_cast<std::uint64_t>(unixSeconds * 10000000LL + kUnixEpochAsFileTime);
    FILETIME time{};
    time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    bool ok = SetFileTime(handle, nullptr, &time, &time) != FALSE;
    CloseHandle(handle);
    return ok;
}

bool makeDirectory(const std::u16string& path) {
    std::wstring name = wide(path);
    if (CreateDirectoryW(name.c_str(), nullptr)) return true;
    DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool makeNewDirectory(const std::u16string& path) {
    return CreateDirectoryW(wide(path).c_str(), nullptr) != FALSE;
}

bool removeDirectoryTree(const std::u16string& path) {
    bool ok = true;
    WIN32_FIND_DATAW found{};
    const std::wstring directory = wide(path);
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = directory + L"\\" + name;
            const DWORD attributes = found.dwFileAttributes;
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                std::u16string childPath(child.begin(), child.end());
                ok = removeDirectoryTree(childPath) && ok;
            } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                ok = RemoveDirectoryW(child.c_str()) != FALSE && ok;
            } else {
                if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
                    SetFileAttributesW(child.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
                ok = DeleteFileW(child.c_str()) != FALSE && ok;
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(directory.c_str()) != FALSE && ok;
}

}  // namespace keldrin::fs
