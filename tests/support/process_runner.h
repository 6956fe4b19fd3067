// The one way the tests run a program as a child process (POSIX): arguments, working
// directory, standard input, environment, resource limits and a time limit in, exit
// code, signal and both output streams out. Tests that use it include <sys/wait.h>
// themselves, which keeps them out of the Windows build.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace keldrin::test {

struct ProcessSpec {
    std::string program{};
    std::vector<std::string> args{};  // after the program name
    std::filesystem::path cwd{};      // empty: the test's own
    std::string input{};              // standard input, read to its end by the program
    // The whole environment; none: the test's own.
    std::optional<std::vector<std::string>> environment{};
    // Seconds until SIGALRM ends the program: a hang is a failure, not a stuck test run.
    unsigned timeLimit = 0;
    // RLIMIT_FSIZE, with SIGXFSZ ignored, so writes past it fail with EFBIG. The output
    // goes through pipes, so the limit hits the program's files only.
    std::optional<std::uint64_t> fileSizeLimit{};
    bool asNobody = false;      // drop root, whose rights pass over permission bits
    bool mergeOutputs = false;  // standard error into the standard output pipe
};

struct ProcessResult {
    int status = -1;    // the wait status
    int exitCode = -1;  // -1 when the program did not exit normally
    int signal = 0;     // the signal that ended it, if any
    std::string out;
    std::string err;
};

// A running child; finish() collects it. Destroying an unfinished one kills it.
class Process {
  public:
    explicit Process(const ProcessSpec& spec);
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&&) = delete;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // The read end of the standard output pipe, for a test that reads it itself.
    int outputFd() const { return out_; }
    // Closes the read end of standard output: later writes get EPIPE or SIGPIPE.
    void closeOutput();
    // Reads both streams to their end and waits for the program.
    ProcessResult finish();

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

inline ProcessResult runProcess(const ProcessSpec& spec) {
    return Process(spec).finish();
}

// Programs that the user `asNobody` switches to can start. The build tree may lie below
// a directory only its owner can enter (root's 0700 home, a `mktemp -d` folder), which
// keeps that user from the programs there; run as root, this copies them, mode 0755,
// into a fresh directory under /tmp that every user may enter, removed with this object.
// The programs link only the system's libraries, so they need nothing else. A copy that
// user still cannot start (/tmp mounted noexec, say) leaves `why` saying so: the test
// then skips with it. Not run as root, no user is switched to, and the programs are used
// where they are.
class ProgramsForNobody {
  public:
    explicit ProgramsForNobody(const std::vector<std::string>& programs);
    ~ProgramsForNobody();
    ProgramsForNobody(const ProgramsForNobody&) = delete;
    ProgramsForNobody& operator=(const ProgramsForNobody&) = delete;

    // What to start for `program`, one of those given.
    std::string path(const std::string& program) const;
    // Why the programs cannot be started as that user; empty when they can.
    const std::string& why() const { return why_; }

  private:
    std::filesystem::path dir_;
    std::vector<std::pair<std::string, std::string>> copies_;  // program -> its copy
    std::string why_;
};

}  // namespace keldrin::test
