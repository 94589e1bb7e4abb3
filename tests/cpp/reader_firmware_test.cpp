#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sys_reader/firmware.hpp"
#include "sys_reader/utf8_lossy.hpp"
#include "temporary_directory.hpp"

namespace hostprobe {
namespace {

namespace fs = std::filesystem;

TEST(ParseHexU32, Table) {
    struct Row {
        std::string text;
        std::optional<std::uint32_t> expected;
    };
    const std::vector<Row> rows = {
        {"50005", 0x50005},           {"ABCDEF", 11259375},        {"ffffffff", 4294967295u},
        {"100000000", std::nullopt},  {"000000001", 1},            {"0000000000ffffffff", 4294967295u},
        {"+5", 5},                    {"++5", std::nullopt},       {"-5", std::nullopt},
        {"+", std::nullopt},          {"-", std::nullopt},         {"", std::nullopt},
        {"5 5", std::nullopt},        {"0x5", std::nullopt},       {"5.", std::nullopt},
        {"5g", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(parse_hex_u32(row.text), row.expected);
    }
}

TEST(ParseThrottleStatus, Table) {
    struct Row {
        std::string output;
        std::uint32_t expected;
    };
    const std::vector<Row> rows = {
        {"throttled=0x50005\n", 327685},
        {"throttled=0xABCDEF\n", 11259375},
        {"throttled=0x100000000\n", 0},
        {"throttled=0x50005 now\n", 0},
        {"throttled=0x5 0x6\n", 0},  // the rest after the first marker holds the second
        {"throttled=0X5\n", 0},
        {"throttled=0x", 0},
        {"throttled=0x\n", 0},
        {"throttled=0x\n  50005 \n\n", 327685},
        {"throttled=0x+5\n", 5},
        {"throttled=0x-5\n", 0},
        {"\xEF\xBF\xBD\xEF\xBF\xBDthrottled=0x7\n", 7},
        {"", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.output);
        EXPECT_EQ(parse_throttle_status(row.output), row.expected);
    }
}

TEST(ParseArmClock, Table) {
    struct Row {
        std::string output;
        std::uint64_t expected;
    };
    const std::vector<Row> rows = {
        {"frequency(48)=1500000000\n", 1500000000},
        {"frequency(48)=+42\n", 42},
        {"frequency(48)=1.5e9\n", 0},
        {"a=b=5\n", 0},
        {"frequency(48)=\n 600000000 \n", 600000000},
        {"=18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
        {"=18446744073709551616", 0},
        {"=-5", 0},
        {"=5MHz", 0},
        {"1500000000\n", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.output);
        EXPECT_EQ(parse_arm_clock(row.output), row.expected);
    }
}

TEST(DecodeUtf8Lossy, ReplacesEachMaximalIllFormedPart) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Row {
        std::string bytes;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"plain ascii", "plain ascii"},
        {"\xE2\x82\xAC \xF4\x8F\xBF\xBF", "\xE2\x82\xAC \xF4\x8F\xBF\xBF"},
        {"\xFF", fffd},
        {"\x80\x80", fffd + fffd},
        {"\xE2\x82", fffd},
        {"\xE2\x82x", fffd + "x"},
        {"\xF0\x9F\x98" "A", fffd + "A"},
        {"\xC0\xAF", fffd + fffd},                  // overlong
        {"\xE0\x9F\x80", fffd + fffd + fffd},       // overlong
        {"\xF0\x80\x80", fffd + fffd + fffd},       // overlong
        {"\xED\xA0\x80", fffd + fffd + fffd},       // surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // above U+10FFFF
        {"\xF5\x80", fffd + fffd},
        {"\xF1\x80\x80\xE2\x82\xAC", fffd + "\xE2\x82\xAC"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.bytes));
        EXPECT_EQ(decode_utf8_lossy(row.bytes), row.expected);
    }
}

std::size_t open_descriptor_count() {
    std::size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

std::string file_text(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Nothing, or the size and the start of a text that may be long.
std::string describe(const std::optional<std::string>& output) {
    if (!output) return "nothing";
    return std::to_string(output->size()) + " bytes: " + ::testing::PrintToString(output->substr(0, 60));
}

// Fake tools in a temporary directory that is the whole search path. Every
// test checks that no descriptor and no child process is left behind.
class FakeVcgencmd : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* path = getenv("PATH")) saved_path_ = path;
        setenv("PATH", dir_.c_str(), 1);
        descriptors_before_ = open_descriptor_count();
    }
    void TearDown() override {
        EXPECT_EQ(open_descriptor_count(), descriptors_before_);
        errno = 0;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        if (saved_path_) {
            setenv("PATH", saved_path_->c_str(), 1);
        } else {
            unsetenv("PATH");
        }
    }

    // Writes a shell script `body` as `dir`/vcgencmd with `mode`.
    void install_tool(const std::string& body, const fs::path& dir, mode_t mode = 0755) {
        fs::create_directories(dir);
        const fs::path tool = dir / "vcgencmd";
        // The script's own commands are found on the system's path.
        std::ofstream(tool) << "#!/bin/sh\nPATH=/usr/bin:/bin\n" << body << "\n";
        ASSERT_EQ(chmod(tool.c_str(), mode), 0);
    }
    void install_tool(const std::string& body) { install_tool(body, dir_); }

    TemporaryDirectory temporary_;
    const fs::path dir_ = temporary_.path();
    std::optional<std::string> saved_path_;
    std::size_t descriptors_before_ = 0;
};

TEST_F(FakeVcgencmd, OutputOnlyOfAToolThatEndsWell) {
    const std::string mebibyte(std::size_t{1} << 20, 'a');
    struct Row {
        const char* label;
        std::string body;
        std::optional<std::string> expected;
    };
    const std::vector<Row> rows = {
        {"an answer", "echo throttled=0x50005", "throttled=0x50005\n"},
        {"exit code 1", "echo throttled=0x50005; exit 1", std::nullopt},
        {"killed by a signal", "echo throttled=0x50005; kill -KILL $$", std::nullopt},
        {"standard input is at its end", "cat; echo done", "done\n"},
        {"invalid UTF-8 is replaced", "printf '\\377\\376throttled=0x1\\n'",
         "\xEF\xBF\xBD\xEF\xBF\xBDthrottled=0x1\n"},
        {"much on standard error, read alongside", "head -c 4000000 /dev/zero >&2; echo clock=5", "clock=5\n"},
        {"streams closed, then a successful end", "echo x=7; exec >&- 2>&-; sleep 0.3", "x=7\n"},
        {"streams closed, then a failing end", "echo x=7; exec >&- 2>&-; sleep 0.3; exit 3", std::nullopt},
        {"exactly the output limit", "head -c 1048576 /dev/zero | tr '\\0' a", mebibyte},
        {"one byte past the limit", "head -c 1048577 /dev/zero | tr '\\0' a", std::nullopt},
        {"endless output", "exec yes", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        install_tool(row.body);
        const std::optional<std::string> output = run_vcgencmd({"get_throttled"});
        EXPECT_TRUE(output == row.expected) << describe(output);
    }
}

TEST_F(FakeVcgencmd, ReadersPassTheirWordsAndPickTheirNumbers) {
    install_tool("printf '%s\\n' \"$@\" >> '" + (dir_ / "arguments").string() + "'\n" +
                 "case $1 in\n"
                 "  get_throttled) echo throttled=0x50005 ;;\n"
                 "  measure_clock) echo 'frequency(48)=1500000000' ;;\n"
                 "esac");
    EXPECT_EQ(read_throttle_status(), 0x50005u);
    EXPECT_EQ(read_arm_clock(), 1500000000u);
    EXPECT_EQ(file_text(dir_ / "arguments"), "get_throttled\nmeasure_clock\narm\n");
}

TEST_F(FakeVcgencmd, AbsentToolGivesZeros) {
    EXPECT_EQ(run_vcgencmd({"get_throttled"}), std::nullopt);
    EXPECT_EQ(read_throttle_status(), 0u);
    EXPECT_EQ(read_arm_clock(), 0u);
}

TEST_F(FakeVcgencmd, SearchSkipsWhatIsNoExecutableFile) {
    install_tool("echo not executable", dir_ / "plain", 0644);
    fs::create_directories(dir_ / "directory" / "vcgencmd");
    install_tool("echo found", dir_ / "tool");
    const std::string path = (dir_ / "missing").string() + ":" + (dir_ / "plain").string() + ":" +
                             (dir_ / "directory").string() + ":" + (dir_ / "tool").string();
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(run_vcgencmd({}), "found\n");
}

TEST_F(FakeVcgencmd, EmptySearchPathEntryIsTheWorkingDirectory) {
    install_tool("echo here");
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    setenv("PATH", (dir_ / "missing").string().append(":").c_str(), 1);
    const std::optional<std::string> output = run_vcgencmd({});
    fs::current_path(previous);
    EXPECT_EQ(output, "here\n");
}

TEST_F(FakeVcgencmd, ChildStartsWithNoBlockedSignalsAndDefaultPipeSignals) {
    // The shell's own mask changes while it waits for a command; grep in
    // its place shows what the shell started with.
    install_tool("exec grep -E '^Sig(Blk|Ign):' /proc/self/status");
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old_pipe {};
    struct sigaction old_file_size {};
    sigaction(SIGPIPE, &ignore, &old_pipe);
    sigaction(SIGXFSZ, &ignore, &old_file_size);
    std::optional<std::string> output;
    std::thread worker([&output] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        output = run_vcgencmd({});
    });
    worker.join();
    sigaction(SIGPIPE, &old_pipe, nullptr);
    sigaction(SIGXFSZ, &old_file_size, nullptr);

    ASSERT_TRUE(output.has_value());
    std::istringstream lines(*output);
    std::string label;
    std::string mask;
    std::uint64_t blocked = 1;
    std::uint64_t ignored = ~std::uint64_t{0};
    while (lines >> label >> mask) {
        (label == "SigBlk:" ? blocked : ignored) = std::stoull(mask, nullptr, 16);
    }
    EXPECT_EQ(blocked, 0u);
    const std::uint64_t pipe_bit = std::uint64_t{1} << (SIGPIPE - 1);
    const std::uint64_t file_size_bit = std::uint64_t{1} << (SIGXFSZ - 1);
    EXPECT_EQ(ignored & (pipe_bit | file_size_bit), 0u);
}

// The bounds below are far above the two-second deadline and far below
// the tools' own run times: they tell a bounded wait from an unbounded one.
constexpr auto unbounded_wait = std::chrono::seconds(30);

TEST_F(FakeVcgencmd, ToolThatNeverEndsIsKilledAtTheDeadline) {
    install_tool("echo throttled=0x1; exec sleep 600");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_vcgencmd({"get_throttled"}), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, unbounded_wait);
}

TEST_F(FakeVcgencmd, GrandchildHoldingTheOutputOpenIsNotWaitedFor) {
    const fs::path grandchild = dir_ / "grandchild";
    install_tool("sleep 600 & echo $! > '" + grandchild.string() + "'; echo throttled=0x1");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_vcgencmd({"get_throttled"}), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, unbounded_wait);
    const std::string pid = file_text(grandchild);
    ASSERT_FALSE(pid.empty());
    kill(static_cast<pid_t>(std::stol(pid)), SIGKILL);
}

}  // namespace
}  // namespace hostprobe
