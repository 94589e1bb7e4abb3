// The least work one snapshot needs: the same files read, the same
// directory listed and the same child processes run, with no parsing.
// "plain" does it on the calling thread; "design" inside the least that the
// module's per-call runtime costs: one thread per processor of the affinity
// mask is started, the first does the work and wakes the caller through a
// condition variable, then every thread is told to stop and is joined.
// "counters" reads only the four files hostprobe_counters.read_counters()
// parses, on the calling thread, as the floor of that call.
// Prints the median wall time of one snapshot and the CPU time of this
// process per snapshot (all its threads, not its children), in nanoseconds.
//
// usage: floor plain|design|counters ITERATIONS
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

std::size_t read_whole(int fd, std::string& buffer) {
    std::size_t filled = 0;
    for (;;) {
        if (buffer.size() - filled < 4096) buffer.resize(std::max<std::size_t>(buffer.size() * 2, 65536));
        const ssize_t got = read(fd, buffer.data() + filled, buffer.size() - filled);
        if (got <= 0) return filled;
        filled += static_cast<std::size_t>(got);
    }
}

std::size_t read_file(const char* path, std::string& buffer) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const std::size_t size = read_whole(fd, buffer);
    close(fd);
    return size;
}

std::size_t read_first_zone_temperature(std::string& buffer) {
    DIR* dir = opendir("/sys/class/thermal");
    if (dir == nullptr) return 0;
    std::string first;
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.starts_with("thermal_zone") && (first.empty() || name < first)) first = name;
    }
    closedir(dir);
    if (first.empty()) return 0;
    return read_file(("/sys/class/thermal/" + first + "/temp").c_str(), buffer);
}

std::string find_tool(const char* name) {
    const char* path = getenv("PATH");
    if (path == nullptr) return {};
    std::string_view rest = path;
    for (;;) {
        const std::size_t colon = rest.find(':');
        std::string candidate(rest.substr(0, colon));
        candidate.append("/").append(name);
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string_view::npos) return {};
        rest.remove_prefix(colon + 1);
    }
}

std::size_t run_tool(const std::string& program, std::vector<const char*> arguments, std::string& buffer) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    arguments.push_back(nullptr);
    pid_t pid = -1;
    const int failed =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, const_cast<char* const*>(arguments.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    std::size_t size = 0;
    if (failed == 0) {
        size = read_whole(ends[0], buffer);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    close(ends[0]);
    return size;
}

// Everything one call of the module reads or runs, once.
std::size_t one_snapshot(std::string& buffer) {
    std::size_t bytes = 0;
    bytes += read_file("/proc/diskstats", buffer);  // start readings
    bytes += read_file("/proc/net/dev", buffer);
    bytes += read_file("/proc/stat", buffer);
    bytes += read_file("/proc/loadavg", buffer);
    bytes += read_first_zone_temperature(buffer);
    const std::string tool = find_tool("vcgencmd");
    if (!tool.empty()) {
        bytes += run_tool(tool, {"vcgencmd", "get_throttled"}, buffer);
        bytes += run_tool(tool, {"vcgencmd", "measure_clock", "arm"}, buffer);
    }
    bytes += read_file("/proc/meminfo", buffer);
    bytes += read_file("/proc/vmstat", buffer);
    bytes += read_file("/proc/uptime", buffer);
    bytes += read_file("/proc/diskstats", buffer);
    bytes += read_file("/proc/net/dev", buffer);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return bytes + static_cast<std::size_t>(now.tv_nsec & 1);
}

std::size_t counter_files(std::string& buffer) {
    return read_file("/proc/stat", buffer) + read_file("/proc/vmstat", buffer) + read_file("/proc/diskstats", buffer) +
           read_file("/proc/net/dev", buffer);
}

std::size_t design_snapshot(std::string& buffer, std::size_t threads) {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool stop = false;
    std::size_t bytes = 0;
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < threads; ++i) {
        workers.emplace_back([&, first = i == 0] {
            std::unique_lock lock(mutex);
            if (first) {
                lock.unlock();
                const std::size_t read = one_snapshot(buffer);
                lock.lock();
                bytes = read;
                done = true;
                changed.notify_all();
            }
            changed.wait(lock, [&] { return stop; });
        });
    }
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return done; });
        stop = true;
    }
    changed.notify_all();
    for (std::thread& worker : workers) worker.join();
    return bytes;
}

std::size_t processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<std::size_t>(CPU_COUNT(&set)) : 1;
}

std::int64_t cpu_ns() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](timeval t) { return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_usec * 1000; };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc == 3 ? argv[1] : "";
    const long iterations = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 0;
    if ((mode != "plain" && mode != "design" && mode != "counters") || iterations <= 0) {
        std::fprintf(stderr, "usage: %s plain|design|counters ITERATIONS\n", argv[0]);
        return 2;
    }
    const std::size_t threads = processors();
    std::string buffer;
    const auto snapshot = [&] {
        if (mode == "counters") return counter_files(buffer);
        return mode == "plain" ? one_snapshot(buffer) : design_snapshot(buffer, threads);
    };
    std::size_t checksum = 0;
    for (long i = 0; i < iterations / 10 + 1; ++i) checksum += snapshot();  // warm-up
    std::vector<std::int64_t> samples;
    samples.reserve(static_cast<std::size_t>(iterations));
    const std::int64_t cpu_start = cpu_ns();
    for (long i = 0; i < iterations; ++i) {
        const std::int64_t start = monotonic_ns();
        checksum += snapshot();
        samples.push_back(monotonic_ns() - start);
    }
    const std::int64_t cpu_per_snapshot = (cpu_ns() - cpu_start) / iterations;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    const double median = n % 2 ? static_cast<double>(samples[n / 2])
                                : (static_cast<double>(samples[n / 2 - 1]) + static_cast<double>(samples[n / 2])) / 2;
    std::printf("%.0f %lld\n", median, static_cast<long long>(cpu_per_snapshot));
    return checksum == 0 ? 1 : 0;  // keeps the reads from being optimised away
}
