// POSIX implementations of the platform services.
#include "platform/Platform.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace korvane::platform {

const char* PlatformWord() {
#if defined(_WIN32)
    return "win";
#elif defined(__APPLE__)
    return "mac";
#else
    return "linux";
#endif
}

std::string TempFolder() {
    for (const char* variable : {"TMPDIR", "XDG_RUNTIME_DIR"}) {
        const char* value = std::getenv(variable);
        if (value == nullptr || value[0] == '\0') continue;
        std::string folder = value;
        if (folder.back() != '/') folder.push_back('/');
        return folder;
    }
    // /tmp is shared: a folder of this user's own, which nobody else can read or plant links in.
    const uid_t uid = getuid();
    const std::string folder = "/tmp/korvane-" + std::to_string(uid);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & 077) != 0)
        return {};
    return folder + "/";
}

void DebugOutput(const std::string& text) {
    if (std::getenv("KORVANE_DEBUG_OUTPUT") == nullptr) return;
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void OpenUrl(const std::string& url) {
    std::string program = "xdg-open";
    std::string argument = url;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0) return;

    // xdg-open normally hands the address to the browser and exits at once; give it a moment, and
    // if it is still running (some set-ups keep the browser in the foreground), reap it from a
    // background thread so that the host's UI thread is not held.
    using namespace std::chrono_literals;
    for (int i = 0; i < 50; ++i) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || done < 0) return;
        std::this_thread::sleep_for(10ms);
    }
    try {
        std::thread([pid] {
            int status = 0;
            waitpid(pid, &status, 0);
        }).detach();
    } catch (...) {
        // No thread to spare: the child is left to the host's own reaping.
    }
}

}  // namespace korvane::platform
