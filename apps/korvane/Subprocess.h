// A child program (ffmpeg, ffprobe) with pipes to its standard input and output, and the tail of
// its standard error kept for messages.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvane::cli {

// The program could not be started at all; `error` is the errno of the attempt (ENOENT: not on PATH).
struct SpawnError {
    std::string program;
    int error = 0;
};

class Subprocess {
public:
    struct Pipes {
        bool to_stdin = false;     // otherwise stdin is /dev/null
        bool from_stdout = false;  // otherwise stdout is /dev/null
    };

    // Starts argv[0], looked up on PATH, in a process group of its own (so that a terminal's
    // Ctrl-C reaches this program, which decides what the child gets), with default signal
    // handling. Throws SpawnError.
    Subprocess(const std::vector<std::string>& argv, Pipes pipes);
    ~Subprocess();  // kills the child if it still runs, and reaps it
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // Writes everything; false when the child closed its end (it exited or failed).
    bool write(const void* data, std::size_t size);
    void closeStdin();
    // Reads until `size` bytes or the end of the child's output; returns the bytes read.
    std::size_t read(void* data, std::size_t size);
    // Reads the child's whole output.
    std::string readAll();

    // Waits for the child to end; its exit status, or 128 + the signal that ended it.
    int wait();
    void kill();  // SIGKILL, then wait()
    // SIGKILL without waiting: safe while another thread reads or writes the pipes.
    void stop();

    // The last non-empty line the child wrote to standard error, without ffmpeg's "[name @ 0x...]"
    // prefix, or "".
    std::string lastErrorLine() const;

private:
    pid_t pid_ = -1;
    std::atomic<bool> reaped_{false};
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
    int status_ = -1;
    std::thread stderr_reader_;
    mutable std::mutex stderr_mutex_;
    std::string stderr_tail_;
};

}  // namespace korvane::cli
