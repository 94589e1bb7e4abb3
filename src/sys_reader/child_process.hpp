// Running a program to its end within a deadline, keeping what it writes
// to standard output.
#pragma once

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace hostprobe {

// The first executable regular file called `name` along PATH (with PATH
// unset, the system's default path), an empty entry standing for the
// current directory, as a shell looks it up.
std::optional<std::string> find_on_search_path(std::string_view name);

// Standard output of `program` started with `arguments` (the first being
// its name), standard input from /dev/null and standard error discarded.
// Nothing when it cannot be started, exits other than with status 0, is
// still running at `deadline` or writes more than `output_limit_bytes`; a
// child given up on is killed, and every child is reaped before the return.
std::optional<std::string> run_to_completion(const std::string& program, std::initializer_list<const char*> arguments,
                                             std::chrono::steady_clock::time_point deadline,
                                             std::size_t output_limit_bytes);

}  // namespace hostprobe
