#include "child_process.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "file_descriptor.hpp"
#include "text.hpp"

namespace hostprobe {

namespace {

using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC

// Numbered alike on every architecture, and absent from older C library
// headers.
constexpr long close_range_syscall = 436;
constexpr std::size_t child_stack_bytes = std::size_t{64} << 10;
// struct linux_dirent64: inode (8 bytes), offset (8), record length (2),
// type (1), then the name.
constexpr std::size_t record_length_offset = 16;
constexpr std::size_t name_offset = 19;

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
        // The whole group: helpers the child started must not outlive it.
        kill(-pid_, SIGKILL);
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

struct ChildStart {
    const char* program;
    char* const* argv;
    int input_fd;
    int output_fd;
    int error_fd;
    pid_t parent_pid;
};

// Linux 5.9 closes them all in one call; before it, /proc/self/fd lists
// them (read with getdents64, which allocates nothing); without /proc,
// every number below the descriptor limit is closed.
[[gnu::no_sanitize("address", "thread")]] void close_above_standard_streams() {
    if (syscall(close_range_syscall, STDERR_FILENO + 1, ~0u, 0) == 0) return;
    const int listing = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) {
        rlimit limit{};
        const rlim_t end = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
        for (rlim_t fd = STDERR_FILENO + 1; fd < end && fd <= INT_MAX; ++fd) close(static_cast<int>(fd));
        return;
    }
    alignas(8) char entries[4096];
    for (long size; (size = syscall(SYS_getdents64, listing, entries, sizeof entries)) > 0;) {
        for (long at = 0; at < size;) {
            unsigned short record_length;
            std::memcpy(&record_length, entries + at + record_length_offset, sizeof record_length);
            int fd = 0;
            for (const char* digit = entries + at + name_offset; *digit >= '0' && *digit <= '9'; ++digit) {
                fd = fd * 10 + (*digit - '0');
            }
            if (fd > STDERR_FILENO && fd != listing) close(fd);
            at += record_length;
        }
    }
    close(listing);
}

// What the child does between clone and exec. It shares this process's
// memory while the parent thread waits, so it calls only functions that are
// safe after a fork and writes to no shared state. A failure ends it with
// status 127, which its parent takes for a failed run.
[[gnu::no_sanitize("address", "thread")]] int start_child(void* raw_start) {
    const ChildStart& start = *static_cast<const ChildStart*>(raw_start);
    // The parent's handlers must not run here, and the tool gets SIGPIPE and
    // SIGXFSZ at their defaults and no signal blocked, as a child of
    // Python's subprocess does: Python ignores SIGPIPE, and the threads that
    // run queries block every signal.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction current {};
        if (sigaction(signal_number, nullptr, &current) != 0) continue;
        const bool caught =
            (current.sa_flags & SA_SIGINFO) != 0 || (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN);
        if (caught || signal_number == SIGPIPE || signal_number == SIGXFSZ) {
            sigaction(signal_number, &default_action, nullptr);
        }
    }
    sigset_t no_signals;
    sigemptyset(&no_signals);
    sigprocmask(SIG_SETMASK, &no_signals, nullptr);
    // Killed when the thread that started it ends, so that a caller killed
    // while it waits leaves no tool behind; a parent already gone before the
    // request took effect shows as a changed parent.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != start.parent_pid) _exit(127);
    // A group of its own, so that helpers it starts are killed with it.
    if (setpgid(0, 0) != 0 || dup2(start.input_fd, STDIN_FILENO) < 0 || dup2(start.output_fd, STDOUT_FILENO) < 0 ||
        dup2(start.error_fd, STDERR_FILENO) < 0) {
        _exit(127);
    }
    close_above_standard_streams();
    execve(start.program, start.argv, environ);
    _exit(127);
}

// Starts `program` like vfork and exec would, without copying this
// process's memory: the calling thread waits until the child has called
// exec or ended.
std::optional<pid_t> spawn_child(const std::string& program, std::initializer_list<const char*> arguments, int input_fd,
                                 int output_fd, int error_fd) {
    // The argument vector is not written to; the cast only meets the C
    // signature.
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const char* argument : arguments) argv.push_back(const_cast<char*>(argument));
    argv.push_back(nullptr);
    ChildStart start{program.c_str(), argv.data(), input_fd, output_fd, error_fd, getpid()};

    // The child runs on this buffer while this thread waits for it.
    alignas(16) char stack[child_stack_bytes];
    // No handler of this process may run in the child before it has reset
    // them all.
    sigset_t all_signals;
    sigset_t saved;
    sigfillset(&all_signals);
    pthread_sigmask(SIG_SETMASK, &all_signals, &saved);
    const pid_t pid = clone(start_child, stack + child_stack_bytes, CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0) return std::nullopt;
    // Also from here: where clone only forks (user-mode emulation), the
    // child may not have made its group yet.
    setpgid(pid, pid);
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
        !move_above_standard_streams(output_pipe->write_end) || !move_above_standard_streams(error_pipe->write_end)) {
        return std::nullopt;
    }

    const std::optional<pid_t> pid =
        spawn_child(program, arguments, null_input.get(), output_pipe->write_end.get(), error_pipe->write_end.get());
    if (!pid) return std::nullopt;
    ChildProcess child(*pid);
    // Only the child may hold the write ends, or end of file never comes.
    null_input.close_now();
    output_pipe->write_end.close_now();
    error_pipe->write_end.close_now();

    // On every early return the child is killed and reaped without reading
    // on: a grandchild may still hold the pipes open.
    std::string output;
    if (!drain_output(output_pipe->read_end.get(), error_pipe->read_end.get(), deadline, output_limit_bytes, output)) {
        return std::nullopt;
    }
    if (wait_for_exit(child, deadline) != ChildProcess::State::ended || !child.exited_successfully()) {
        return std::nullopt;
    }
    return output;
}

}  // namespace hostprobe
