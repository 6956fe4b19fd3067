// Files that an interrupted run must not leave behind. A run that writes a temporary
// file beside its target watches it here; when the user interrupts the process (Ctrl-C,
// SIGTERM, a closed terminal's SIGHUP; the console's control events on Windows) the
// handler removes every watched file and ends the process as the signal would have
// (exit status 128 + signal on POSIX, where the shell sees the signal itself).
//
// The handler cannot allocate or take locks that the interrupted code might hold, so a
// watched name is turned into the platform's form when it is watched and kept in a
// small fixed table of its own. One backend per platform: interrupt_posix.cpp,
// interrupt_win32.cpp.
#pragma once

#include <string>

namespace keldrin::interrupt {

// Installs the handlers, once per process. Only signals still at their default action
// get one: a signal the caller's parent chose to ignore (nohup) stays ignored. Watching
// a file installs them too; a program calls this early so that none of its temporaries
// is ever unwatched.
void installHandlers();

// Holds the handlers off for its lifetime: an interrupt that arrives meanwhile takes
// effect when the outermost HoldOff ends. Used around the steps that must happen
// together with a change of the watched set, such as moving a watched file into place
// and forgetting it, so that no interrupt can remove a file that already stands at its
// final name or leave one that was just made. Nests.
class HoldOff {
  public:
    HoldOff();
    ~HoldOff();
    HoldOff(const HoldOff&) = delete;
    HoldOff& operator=(const HoldOff&) = delete;
};

// One watched file. Destroying it forgets the file and leaves it where it is; removing
// it is the owner's decision (remove()). A watched directory is removed by the handler
// with everything in it (a few levels deep): a run's temporary directory.
class WatchedFile {
  public:
    WatchedFile() = default;
    explicit WatchedFile(const std::u16string& path) { watch(path); }
    ~WatchedFile() { forget(); }
    WatchedFile(const WatchedFile&) = delete;
    WatchedFile& operator=(const WatchedFile&) = delete;

    // Watches `path` from now on, in place of what was watched before. False when the
    // table is full or memory ran out: the file then stays unwatched, which costs no
    // more than a leftover after an interrupt, and remove() still removes it.
    bool watch(const std::u16string& path);
    // Stops watching; the file stays.
    void forget();
    // Removes the file and stops watching it, in one step no interrupt can split.
    bool remove();
    bool watching() const { return slot_ >= 0; }

  private:
    int slot_ = -1;
    std::u16string path_;
};

// How many files can be watched at once; a run needs two at most.
inline constexpr int kMaxWatchedFiles = 16;

}  // namespace keldrin::interrupt
