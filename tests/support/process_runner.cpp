#if !defined(_WIN32)

#include "support/process_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace keldrin::test {

namespace {

// Standard input as an unlinked temporary file: a pipe would need writing while the
// program runs, and a program that never reads would block the test.
int inputFile(const std::string& input) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) return -1;
    if (!input.empty()) std::fwrite(input.data(), 1, input.size(), file);
    std::fflush(file);
    int fd = ::fcntl(::fileno(file), F_DUPFD_CLOEXEC, 0);
    std::fclose(file);
    if (fd >= 0) ::lseek(fd, 0, SEEK_SET);
    return fd;
}

[[noreturn]] void runChild(const ProcessSpec& spec, int in, int out, int err) {
    if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
    if (!spec.cwd.empty() && ::chdir(spec.cwd.c_str()) != 0) ::_exit(126);
    if (spec.fileSizeLimit) {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit r{static_cast<rlim_t>(*spec.fileSizeLimit),
                 static_cast<rlim_t>(*spec.fileSizeLimit)};
        if (::setrlimit(RLIMIT_FSIZE, &r) != 0) ::_exit(126);
    }
    if (spec.asNobody && ::geteuid() == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(126);
    }
    std::vector<std::string> args = spec.args;
    std::vector<char*> argv{const_cast<char*>(spec.program.c_str())};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (spec.timeLimit != 0) ::alarm(spec.timeLimit);
    if (spec.environment) {
        std::vector<std::string> variables = *spec.environment;
        std::vector<char*> env;
        env.reserve(variables.size() + 1);
        for (std::string& v : variables) env.push_back(v.data());
        env.push_back(nullptr);
        ::execve(spec.program.c_str(), argv.data(), env.data());
    } else {
        ::execv(spec.program.c_str(), argv.data());
    }
    ::_exit(127);
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

Process::Process(const ProcessSpec& spec) {
    int in = inputFile(spec.input);
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    // Close-on-exec: another child started meanwhile must not hold this one's pipes open.
    if (::pipe2(outPipe, O_CLOEXEC) != 0 ||
        (!spec.mergeOutputs && ::pipe2(errPipe, O_CLOEXEC) != 0)) {
        closeFd(in);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            if (fd >= 0) ::close(fd);
        return;
    }
    const int childErr = spec.mergeOutputs ? outPipe[1] : errPipe[1];
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(outPipe[0]);
        if (errPipe[0] >= 0) ::close(errPipe[0]);
        runChild(spec, in, outPipe[1], childErr);
    }
    closeFd(in);
    ::close(outPipe[1]);
    if (errPipe[1] >= 0) ::close(errPipe[1]);
    out_ = outPipe[0];
    err_ = errPipe[0];
    if (pid_ < 0) {
        closeFd(out_);
        closeFd(err_);
    }
}

Process::Process(Process&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      out_(std::exchange(other.out_, -1)),
      err_(std::exchange(other.err_, -1)) {}

Process::~Process() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        finish();
    }
    closeFd(out_);
    closeFd(err_);
}

void Process::closeOutput() {
    closeFd(out_);
}

ProcessResult Process::finish() {
    ProcessResult result;
    // Both streams at once: a program that fills one pipe while the test waits on the
    // other would never end.
    while (out_ >= 0 || err_ >= 0) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) break;
        std::string* targets[2] = {&result.out, &result.err};
        int* ends[2] = {&out_, &err_};
        for (int i = 0; i < 2; ++i) {
            if (*ends[i] < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = ::read(*ends[i], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0)
                targets[i]->append(buffer, static_cast<std::size_t>(n));
            else
                closeFd(*ends[i]);
        }
    }
    if (pid_ > 0 && ::waitpid(pid_, &result.status, 0) == pid_) {
        if (WIFEXITED(result.status)) result.exitCode = WEXITSTATUS(result.status);
        if (WIFSIGNALED(result.status)) result.signal = WTERMSIG(result.status);
    }
    pid_ = -1;
    return result;
}

ProgramsForNobody::ProgramsForNobody(const std::vector<std::string>& programs) {
    if (::geteuid() != 0) {
        for (const std::string& program : programs) copies_.emplace_back(program, program);
        return;
    }
    char pattern[] = "/tmp/keldrin-programs-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        why_ = std::string("cannot make a directory under /tmp for the programs: ") +
               std::strerror(errno);
        return;
    }
    dir_ = pattern;
    namespace stdfs = std::filesystem;
    const auto everyone = stdfs::perms::owner_all | stdfs::perms::group_read |
                          stdfs::perms::group_exec | stdfs::perms::others_read |
                          stdfs::perms::others_exec;
    std::error_code error;
    stdfs::permissions(dir_, everyone, error);
    for (const std::string& program : programs) {
        if (error) break;
        const stdfs::path copy = dir_ / stdfs::path(program).filename();
        stdfs::copy_file(program, copy, error);
        if (!error) stdfs::permissions(copy, everyone, error);
        copies_.emplace_back(program, copy.string());
    }
    if (error) {
        why_ = "cannot copy the programs to " + dir_.string() + ": " + error.message();
        return;
    }
    // 126 and 127: the runner could not switch user or start the program; the loader
    // also ends with 127 when a library cannot be loaded.
    for (const auto& [program, copy] : copies_) {
        ProcessResult r = runProcess(
            ProcessSpec{.program = copy, .args = {"--version"}, .timeLimit = 60, .asNobody = true});
        if (r.exitCode == 126 || r.exitCode == 127 || r.signal != 0) {
            why_ = "user 65534 cannot start " + copy + " (exit " + std::to_string(r.exitCode) +
                   ", signal " + std::to_string(r.signal) + "): " + r.err;
            return;
        }
    }
}

ProgramsForNobody::~ProgramsForNobody() {
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

std::string ProgramsForNobody::path(const std::string& program) const {
    for (const auto& [original, copy] : copies_)
        if (original == program) return copy;
    return program;
}

}  // namespace keldrin::test

#endif
