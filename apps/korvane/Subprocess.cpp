// Child processes over posix_spawnp, pipes without a shell.
#include "Subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace korvane::cli {
namespace {

constexpr std::size_t kStderrKept = std::size_t{16} * 1024;

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv, Pipes pipes) {
    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    auto fail = [&](int error) {
        for (int* p : {in_pipe, out_pipe, err_pipe}) {
            closeFd(p[0]);
            closeFd(p[1]);
        }
        throw SpawnError{argv.at(0), error};
    };
    if ((pipes.to_stdin && pipe2(in_pipe, O_CLOEXEC) != 0) || (pipes.from_stdout && pipe2(out_pipe, O_CLOEXEC) != 0) ||
        pipe2(err_pipe, O_CLOEXEC) != 0)
        fail(errno);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipes.to_stdin)
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (pipes.from_stdout)
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, s);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> args;
    std::vector<std::string> copies(argv);
    for (std::string& a : copies) args.push_back(a.data());
    args.push_back(nullptr);
    const int spawned = posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) fail(spawned);

    closeFd(in_pipe[0]);
    closeFd(out_pipe[1]);
    closeFd(err_pipe[1]);
    stdin_fd_ = in_pipe[1];
    stdout_fd_ = out_pipe[0];
    const int err_fd = err_pipe[0];
    stderr_reader_ = std::thread([this, err_fd] {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(err_fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            std::lock_guard lock(stderr_mutex_);
            stderr_tail_.append(buffer, static_cast<std::size_t>(n));
            if (stderr_tail_.size() > 2 * kStderrKept) stderr_tail_.erase(0, stderr_tail_.size() - kStderrKept);
        }
        ::close(err_fd);
    });
}

Subprocess::~Subprocess() {
    if (status_ < 0) kill();
    closeFd(stdin_fd_);
    closeFd(stdout_fd_);
}

bool Subprocess::write(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0 && stdin_fd_ >= 0) {
        const ssize_t n = ::write(stdin_fd_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return size == 0;
}

void Subprocess::closeStdin() { closeFd(stdin_fd_); }

std::size_t Subprocess::read(void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < size && stdout_fd_ >= 0) {
        const ssize_t n = ::read(stdout_fd_, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::string Subprocess::readAll() {
    std::string text;
    char buffer[65536];
    while (const std::size_t n = read(buffer, sizeof buffer)) text.append(buffer, n);
    return text;
}

int Subprocess::wait() {
    if (status_ >= 0) return status_;
    closeFd(stdin_fd_);
    closeFd(stdout_fd_);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (stderr_reader_.joinable()) stderr_reader_.join();
    return status_;
}

void Subprocess::stop() {
    if (!reaped_) ::kill(pid_, SIGKILL);
}

void Subprocess::kill() {
    if (status_ >= 0) return;
    ::kill(pid_, SIGKILL);
    wait();
}

std::string Subprocess::lastErrorLine() const {
    std::lock_guard lock(stderr_mutex_);
    std::string last, line;
    for (const char c : stderr_tail_ + "\n") {
        if (c != '\n' && c != '\r') {
            line += c;
            continue;
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        // ffmpeg names the component that speaks: "[h264 @ 0x55d0c0] message".
        if (const std::size_t close = line.find("] ");
            line.rfind('[', 0) == 0 && close != std::string::npos && line.find(" @ 0x") < close)
            line.erase(0, close + 2);
        if (!line.empty()) last = line;
        line.clear();
    }
    return last;
}

}  // namespace korvane::cli
