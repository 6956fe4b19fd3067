// Windows backend of the interrupt cleanup. The console's control events (Ctrl-C,
// Ctrl-Break, the window closing, logoff, shutdown) delete every watched file (a watched
// directory with what it holds) and end
// the process: exit code 130 for Ctrl-C and Ctrl-Break, 129 for the others, the codes
// a POSIX shell shows for SIGINT and SIGHUP.
//
// The handler runs on a thread of its own while the program goes on, so the table and
// HoldOff share one critical section: the handler waits for a HoldOff to end, and while
// it works, the program cannot move a watched file into place. A watched file is usually
// open (the library being written), and Windows does not delete an open file that was
// opened without delete sharing; the handler then closes the C runtime's streams first.
// The process ends with TerminateProcess, not ExitProcess, which would run the C
// runtime's exit code against locks the program's own thread may hold.
#include <stdio.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "base/file.h"
#include "base/interrupt.h"
#include "base/interrupt_slots.h"

namespace keldrin::interrupt {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

SlotTable<wchar_t> slots;

CRITICAL_SECTION& tableLock() {
    static CRITICAL_SECTION* const lock = [] {
        static CRITICAL_SECTION section;
        InitializeCriticalSection(&section);
        return &section;
    }();
    return *lock;
}

std::atomic<bool> installed{false};

BOOL WINAPI onConsoleEvent(DWORD event) {
    EnterCriticalSection(&tableLock());
    bool streamsClosed = false;
    for (std::atomic<wchar_t*>& slot : slots) {
        const wchar_t* name = slot.load();
        if (name == nullptr || DeleteFileW(name) != FALSE) continue;
        DWORD error = GetLastError();
        // The handler runs on a thread of its own, where the file layer's directory
        // removal may allocate. A file the program creates there meanwhile can stay.
        const DWORD attributes = GetFileAttributesW(name);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            fs::removeDirectoryTree(std::u16string(reinterpret_cast<const char16_t*>(name)));
            continue;
        }
        if (streamsClosed || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED))
            continue;
        _fcloseall();
        streamsClosed = true;
        DeleteFileW(name);
    }
    const UINT code = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 130 : 129;
    TerminateProcess(GetCurrentProcess(), code);
    return TRUE;
}

}  // namespace

void installHandlers() {
    if (installed.exchange(true)) return;
    tableLock();
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

HoldOff::HoldOff() {
    EnterCriticalSection(&tableLock());
}

HoldOff::~HoldOff() {
    LeaveCriticalSection(&tableLock());
}

bool WatchedFile::watch(const std::u16string& path) {
    forget();
    path_ = path;
    installHandlers();
    HoldOff hold;
    slot_ = claimSlot(slots, reinterpret_cast<const wchar_t*>(path.c_str()), path.size());
    return slot_ >= 0;
}

void WatchedFile::forget() {
    if (slot_ >= 0) {
        HoldOff hold;
        delete[] slots[slot_].exchange(nullptr);
    }
    slot_ = -1;
    path_.clear();
}

bool WatchedFile::remove() {
    HoldOff hold;
    const std::wstring name(path_.begin(), path_.end());
    bool removed = !path_.empty() && DeleteFileW(name.c_str()) != FALSE;
    forget();
    return removed;
}

}  // namespace keldrin::interrupt
