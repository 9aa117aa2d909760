// SIGINT handling for renders.
#include "Interrupt.h"

#include <signal.h>

#include <atomic>

#include "korvane/host/Host.h"

namespace korvane::cli {
namespace {

volatile sig_atomic_t g_interrupted = 0;
std::atomic<host::Host*> g_host{nullptr};
static_assert(std::atomic<host::Host*>::is_always_lock_free);

extern "C" void onInterrupt(int) {
    g_interrupted = 1;
    // Host::Cancel only stores an atomic flag, which is safe here.
    if (host::Host* host = g_host.load()) host->Cancel();
}

}  // namespace

CancelOnInterrupt::CancelOnInterrupt(host::Host& host) {
    g_host.store(&host);
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;  // the second Ctrl-C is not caught
    sigaction(SIGINT, &action, nullptr);
}

CancelOnInterrupt::~CancelOnInterrupt() { g_host.store(nullptr); }

bool interrupted() { return g_interrupted != 0; }

}  // namespace korvane::cli
