// The CLI's failures: each carries the one-line message for the user and the exit code.
#pragma once

#include <stdexcept>
#include <string>

namespace korvane::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 2,        // bad usage, or an input that cannot be read or is invalid
    kExitEffect = 3,       // the effect returned an error
    kExitHangup = 129,     // SIGHUP
    kExitCancelled = 130,  // Ctrl-C
    kExitTerminated = 143  // SIGTERM
};

class CliError : public std::runtime_error {
public:
    CliError(int exit_code, const std::string& message) : std::runtime_error(message), code_(exit_code) {}
    int exitCode() const { return code_; }

private:
    int code_;
};

struct UsageError : CliError {
    explicit UsageError(const std::string& message) : CliError(kExitUsage, message) {}
};

struct EffectError : CliError {
    explicit EffectError(const std::string& message) : CliError(kExitEffect, message) {}
};

// A render stopped by a signal; the exit code is 128 + the signal's number.
struct Cancelled : CliError {
    explicit Cancelled(int exit_code = kExitCancelled) : CliError(exit_code, "cancelled") {}
};

}  // namespace korvane::cli
