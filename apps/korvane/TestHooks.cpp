// Environment-driven hooks for the black-box tests.
#include "TestHooks.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "Errors.h"
#include "korvane/host/Host.h"

namespace korvane::cli {

namespace {

int testSignal() {
    static const int signal_number = [] {
        const char* value = std::getenv("KORVANE_TEST_SIGNAL");
        return value ? std::atoi(value) : SIGINT;
    }();
    return signal_number;
}

}  // namespace

void noteProgressCallForTestHook() {
    static std::atomic<long> calls{0};
    static const long trigger = [] {
        const char* value = std::getenv("KORVANE_TEST_SIGINT_AT_PROGRESS");
        return value ? std::atol(value) : 0L;
    }();
    if (trigger > 0 && calls.fetch_add(1) + 1 == trigger) raise(testSignal());
}

void noteStageForTestHook(TestStage stage) {
    struct Trigger {
        int stage = -1;
        long at = 0;
    };
    static const Trigger trigger = [] {
        const char* value = std::getenv("KORVANE_TEST_SIGNAL_AT");
        if (value == nullptr || *value == '\0') return Trigger{};
        const std::string text(value);
        const std::size_t colon = text.find(':');
        const std::string name = text.substr(0, colon);
        const long at = colon == std::string::npos ? 1 : std::atol(text.c_str() + colon + 1);
        const int named = name == "read" ? 0 : name == "render" ? 1 : name == "write" ? 2 : -1;
        return named >= 0 && at >= 1 ? Trigger{named, at} : Trigger{};  // malformed: never fires
    }();
    static std::atomic<long> reached[3] = {0, 0, 0};
    const int index = static_cast<int>(stage);
    if (trigger.stage == index && reached[index].fetch_add(1) + 1 == trigger.at) raise(testSignal());
}

void stallFirstPreviewRenderForTestHook() {
    static std::atomic<bool> stalled{false};
    const char* value = std::getenv("KORVANE_TEST_PREVIEW_STALL_MS");
    if (value != nullptr && !stalled.exchange(true))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(value)));
}

void stallDecodeForTestHook(long frame, const std::atomic<bool>& stop) {
    static const long at = [] {
        const char* value = std::getenv("KORVANE_TEST_STALL_DECODE_AT");
        return value ? std::atol(value) : 0L;
    }();
    if (at <= 0 || frame + 1 != at) return;
    int never[2];
    if (::pipe(never) != 0) return;
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::kill(::getpid(), testSignal());
    }).detach();
    // A signal ends the read early (EINTR); only the reader's own stop lets it go.
    char byte = 0;
    while (!stop.load())
        if (::read(never[0], &byte, 1) >= 0) break;
    ::close(never[0]);
    ::close(never[1]);
}

void noteFileWrittenForTestHook() {
    static std::atomic<bool> raised{false};
    const char* value = std::getenv("KORVANE_TEST_SIGNAL_AFTER_WRITE");
    if (value != nullptr && *value == '1' && !raised.exchange(true)) raise(testSignal());
}

bool failThisWriteForTestHook() {
    static std::atomic<long> writes{0};
    static const long trigger = [] {
        const char* value = std::getenv("KORVANE_TEST_FAIL_WRITE");
        return value ? std::atol(value) : 0L;
    }();
    return trigger > 0 && writes.fetch_add(1) + 1 == trigger;
}

void applyFaultTestHook(host::Host& host) {
    const char* value = std::getenv("KORVANE_TEST_FAIL_CALL");
    if (value == nullptr || *value == '\0') return;
    std::stringstream fields(value);
    std::string name, nth, code;
    if (!std::getline(fields, name, ':') || !std::getline(fields, nth, ':') || !std::getline(fields, code))
        throw UsageError("KORVANE_TEST_FAIL_CALL must be NAME:N:CODE");
    host.FailCall(name, std::atoi(nth.c_str()), static_cast<PF_Err>(std::atoi(code.c_str())));
}

}  // namespace korvane::cli
