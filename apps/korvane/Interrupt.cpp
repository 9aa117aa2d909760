// Signal handling for renders.
#include "Interrupt.h"

#include <signal.h>

#include <atomic>

#include "Errors.h"
#include "korvane/host/Host.h"

namespace korvane::cli {
namespace {

volatile sig_atomic_t g_signal = 0;
std::atomic<host::Host*> g_host{nullptr};
static_assert(std::atomic<host::Host*>::is_always_lock_free);

extern "C" void onInterrupt(int signal_number) {
    if (g_signal == 0) g_signal = signal_number;
    // Host::Cancel only stores an atomic flag, which is safe here.
    if (host::Host* host = g_host.load()) host->Cancel();
}

}  // namespace

void CatchInterrupts() {
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, s);
    action.sa_flags = 0;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    action.sa_flags = SA_RESETHAND;  // the second Ctrl-C is not caught
    sigaction(SIGINT, &action, nullptr);
    // A child that dies turns writes into its pipe into errors, not into the end of this process.
    signal(SIGPIPE, SIG_IGN);
}

CancelOnInterrupt::CancelOnInterrupt(host::Host& host) {
    g_host.store(&host);
    if (g_signal != 0) host.Cancel();
}

CancelOnInterrupt::~CancelOnInterrupt() { g_host.store(nullptr); }

bool interrupted() { return g_signal != 0; }

int interruptExitCode() { return g_signal != 0 ? 128 + g_signal : kExitCancelled; }

void throwIfInterrupted() {
    if (interrupted()) throw Cancelled(interruptExitCode());
}

}  // namespace korvane::cli
