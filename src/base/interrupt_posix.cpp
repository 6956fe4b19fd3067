// POSIX backend of the interrupt cleanup. SIGINT, SIGTERM and SIGHUP unlink every
// watched file (a watched directory with what it holds), then end the process by the
// same signal, so that a shell or a parent
// sees what happened (a script's loop stops at Ctrl-C as it would for any program).
//
// The handler uses only async-signal-safe calls and reads nothing but the slot table:
// each slot holds a name's bytes, allocated and freed outside the handler, behind a
// lock-free atomic pointer. A slot is emptied before its bytes are freed, so the handler
// sees a whole name or none. The program is single-threaded, so the handler always runs
// on top of the thread that changes the table.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "base/file.h"
#include "base/interrupt.h"
#include "base/interrupt_slots.h"

namespace keldrin::interrupt {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

SlotTable<char> slots;
static_assert(std::atomic<char*>::is_always_lock_free);

std::atomic<bool> installed{false};
int holdDepth = 0;
sigset_t maskBeforeHold;

sigset_t handledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kSignals) sigaddset(&set, sig);
    return set;
}

// How deep a watched directory's removal goes: the temporary directories of this
// system hold files and one level of folders.
constexpr int kTreeDepth = 4;

// Removes what the directory `dirFd` holds, with async-signal-safe calls only: the
// directory is read with the getdents64 system call into a static buffer per level
// (opendir would allocate). A name that is no file is taken for a directory.
void emptyDirectory(int dirFd, int depth) {
#if defined(__linux__)
    alignas(8) static char buffers[kTreeDepth][4096];
    char* buffer = buffers[depth];
    for (;;) {
        const ssize_t got = ::getdents64(dirFd, buffer, sizeof buffers[0]);
        if (got <= 0) return;
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            if (::unlinkat(dirFd, name, 0) == 0) continue;
            if (depth + 1 < kTreeDepth) {
                const int sub =
                    ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0) {
                    emptyDirectory(sub, depth + 1);
                    ::close(sub);
                }
            }
            ::unlinkat(dirFd, name, AT_REMOVEDIR);
        }
    }
#else
    // Without a directory reader that is safe in a handler, only an empty directory goes.
    (void)dirFd;
    (void)depth;
#endif
}

void removeWatched(const char* name) {
    if (::unlink(name) == 0 || (errno != EISDIR && errno != EPERM)) return;
    const int dir = ::open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return;
    emptyDirectory(dir, 0);
    ::close(dir);
    ::rmdir(name);
}

extern "C" void onInterrupt(int sig) {
    for (std::atomic<char*>& slot : slots) {
        const char* name = slot.load();
        if (name != nullptr) removeWatched(name);
    }
    // Die of the signal itself: back to the default action, then let it through. The
    // other handled signals stay blocked, so none of them re-enters this handler.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(sig, &fallback, nullptr);
    ::raise(sig);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::_exit(128 + sig);
}

}  // namespace

void installHandlers() {
    if (installed.exchange(true)) return;
    for (int sig : kSignals) {
        struct sigaction current {};
        if (::sigaction(sig, nullptr, &current) != 0) continue;
        if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        action.sa_mask = handledSignals();
        action.sa_flags = SA_RESTART;
        ::sigaction(sig, &action, nullptr);
    }
}

HoldOff::HoldOff() {
    if (holdDepth++ > 0) return;
    sigset_t set = handledSignals();
    ::sigprocmask(SIG_BLOCK, &set, &maskBeforeHold);
}

HoldOff::~HoldOff() {
    if (--holdDepth > 0) return;
    ::sigprocmask(SIG_SETMASK, &maskBeforeHold, nullptr);
}

bool WatchedFile::watch(const std::u16string& path) {
    forget();
    path_ = path;
    installHandlers();
    const std::string native = fs::toNativeName(path);
    slot_ = claimSlot(slots, native.c_str(), native.size());
    return slot_ >= 0;
}

void WatchedFile::forget() {
    if (slot_ >= 0) delete[] slots[slot_].exchange(nullptr);
    slot_ = -1;
    path_.clear();
}

bool WatchedFile::remove() {
    HoldOff hold;
    bool removed = !path_.empty() && fs::removeFile(path_);
    forget();
    return removed;
}

}  // namespace keldrin::interrupt
