#include "child_process.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <thread>
#include <utility>
#include <vector>

#include "file_descriptor.hpp"
#include "text.hpp"

namespace hostprobe {

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

// The executable search path; with PATH unset, the system's default one.
std::string search_path() {
    if (const char* path = getenv("PATH")) return path;
    const std::size_t size = confstr(_CS_PATH, nullptr, 0);
    if (size == 0) return {};
    std::string path(size, '\0');
    confstr(_CS_PATH, path.data(), size);
    path.resize(size - 1);  // the terminating NUL
    return path;
}

bool is_executable_file(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
}

struct Pipe {
    FileDescriptor read_end;
    FileDescriptor write_end;
};

std::optional<Pipe> make_pipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    return Pipe{FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

// The child's redirections onto 0, 1 and 2 run in order, so a source that
// is itself one of those numbers (this process started with a standard
// stream closed) would be overwritten before its turn.
bool move_above_standard_streams(FileDescriptor& fd) {
    if (fd.get() > STDERR_FILENO) return true;
    FileDescriptor moved(fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (!moved.valid()) return false;
    fd = std::move(moved);
    return true;
}

class SpawnFileActions {
public:
    SpawnFileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnFileActions() {
        if (ok_) posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    bool redirect(int from_fd, int to_fd) {
        return ok_ && posix_spawn_file_actions_adddup2(&actions_, from_fd, to_fd) == 0;
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
};

// An empty signal mask and default dispositions of SIGPIPE and SIGXFSZ, as
// a child started from Python's subprocess gets; the threads that run
// queries block every signal, and Python ignores SIGPIPE.
class SpawnAttributes {
public:
    SpawnAttributes() {
        if (posix_spawnattr_init(&attributes_) != 0) return;
        initialised_ = true;
        sigset_t no_signals;
        sigset_t restored;
        sigemptyset(&no_signals);
        sigemptyset(&restored);
        sigaddset(&restored, SIGPIPE);
        sigaddset(&restored, SIGXFSZ);
        ok_ = posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
              posix_spawnattr_setsigmask(&attributes_, &no_signals) == 0 &&
              posix_spawnattr_setsigdefault(&attributes_, &restored) == 0;
    }
    ~SpawnAttributes() {
        if (initialised_) posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    bool ok() const { return ok_; }
    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
    bool initialised_ = false;
    bool ok_ = false;
};

// A started child that is reaped on every path; one still running when
// its owner gives up on it is killed first.
class ChildProcess {
public:
    enum class State { running, ended, lost };

    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (pid_ < 0) return;
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }

    // `lost` when it cannot be waited for (e.g. reaped by the system
    // because SIGCHLD is ignored).
    State poll_exit() {
        int status = 0;
        pid_t result;
        do {
            result = waitpid(pid_, &status, WNOHANG);
        } while (result < 0 && errno == EINTR);
        if (result == 0) return State::running;
        pid_ = -1;
        if (result < 0) return State::lost;
        exit_status_ = status;
        return State::ended;
    }
    pid_t pid() const { return pid_; }
    bool exited_successfully() const { return WIFEXITED(exit_status_) && WEXITSTATUS(exit_status_) == 0; }

private:
    pid_t pid_;
    int exit_status_ = 0;
};

int milliseconds_until(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

std::optional<pid_t> spawn_child(const std::string& program, std::initializer_list<const char*> arguments,
                                 int input_fd, int output_fd, int error_fd) {
    SpawnFileActions actions;
    SpawnAttributes attributes;
    if (!actions.redirect(input_fd, STDIN_FILENO) || !actions.redirect(output_fd, STDOUT_FILENO) ||
        !actions.redirect(error_fd, STDERR_FILENO) || !attributes.ok()) {
        return std::nullopt;
    }
    // The argument vector is not written to; the cast only meets the C
    // signature.
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const char* argument : arguments) argv.push_back(const_cast<char*>(argument));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), environ) != 0) {
        return std::nullopt;
    }
    return pid;
}

// Reads both streams as they fill until each reaches end of file, keeping
// standard output and dropping standard error. False at the deadline, on a
// read error, or when standard output exceeds its limit.
bool drain_output(int output_fd, int error_fd, Clock::time_point deadline, std::size_t output_limit_bytes,
                  std::string& output) {
    pollfd streams[2] = {{output_fd, POLLIN, 0}, {error_fd, POLLIN, 0}};
    char chunk[4096];
    while (streams[0].fd >= 0 || streams[1].fd >= 0) {
        const int timeout_ms = milliseconds_until(deadline);
        if (timeout_ms == 0) return false;
        const int ready = poll(streams, 2, timeout_ms);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        for (pollfd& stream : streams) {
            if (stream.fd < 0 || stream.revents == 0) continue;
            const ssize_t count = read(stream.fd, chunk, sizeof chunk);
            if (count < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (count == 0) {
                stream.fd = -1;  // poll skips negative descriptors
                continue;
            }
            if (&stream != &streams[0]) continue;
            const auto size = static_cast<std::size_t>(count);
            if (size > output_limit_bytes - output.size()) return false;
            output.append(chunk, size);
        }
    }
    return true;
}

// Both streams can reach end of file before the child has ended: it closes
// them while exiting, or closes them and goes on working. A process file
// descriptor (Linux 5.3 and later) becomes readable when the child ends; on
// older kernels the child is polled with growing pauses. Either way the wait
// stops at the deadline.
ChildProcess::State wait_for_exit(ChildProcess& child, Clock::time_point deadline) {
    ChildProcess::State state = child.poll_exit();
    if (state != ChildProcess::State::running) return state;
    FileDescriptor exit_signal(static_cast<int>(syscall(SYS_pidfd_open, child.pid(), 0)));
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        const int left_ms = milliseconds_until(deadline);
        if (left_ms == 0) return ChildProcess::State::running;
        if (exit_signal.valid()) {
            pollfd ended = {exit_signal.get(), POLLIN, 0};
            poll(&ended, 1, left_ms);
        } else {
            std::this_thread::sleep_for(std::min<Clock::duration>(pause, std::chrono::milliseconds(left_ms)));
            pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(64));
        }
        state = child.poll_exit();
        if (state != ChildProcess::State::running) return state;
    }
}

}  // namespace

std::optional<std::string> find_on_search_path(std::string_view name) {
    const std::string path = search_path();
    for (std::string_view entry : split_on_char(path, ':')) {
        std::string candidate(entry.empty() ? std::string_view(".") : entry);
        candidate.append("/").append(name);
        if (is_executable_file(candidate)) return candidate;
    }
    return std::nullopt;
}


std::optional<std::string> run_to_completion(const std::string& program, std::initializer_list<const char*> arguments,
                                             Clock::time_point deadline, std::size_t output_limit_bytes) {
    FileDescriptor null_input(open("/dev/null", O_RDONLY | O_CLOEXEC));
    std::optional<Pipe> output_pipe = make_pipe();
    std::optional<Pipe> error_pipe = make_pipe();
    if (!null_input.valid() || !output_pipe || !error_pipe || !move_above_standard_streams(null_input) ||
        !move_above_standard_streams(output_pipe->write_end) ||
        !move_above_standard_streams(error_pipe->write_end)) {
        return std::nullopt;
    }

    const std::optional<pid_t> pid = spawn_child(program, arguments, null_input.get(),
                                                 output_pipe->write_end.get(), error_pipe->write_end.get());
    if (!pid) return std::nullopt;
    ChildProcess child(*pid);
    // Only the child may hold the write ends, or end of file never comes.
    null_input.close_now();
    output_pipe->write_end.close_now();
    error_pipe->write_end.close_now();

    // On every early return the child is killed and reaped without reading
    // on: a grandchild may still hold the pipes open.
    std::string output;
    if (!drain_output(output_pipe->read_end.get(), error_pipe->read_end.get(), deadline, output_limit_bytes,
                      output)) {
        return std::nullopt;
    }
    if (wait_for_exit(child, deadline) != ChildProcess::State::ended || !child.exited_successfully()) {
        return std::nullopt;
    }
    return output;
}

}  // namespace hostprobe
