// Ctrl-C, SIGTERM and SIGHUP during a render: the host is asked to cancel, the effect's next
// progress call answers PF_Interrupt_CANCEL, and the run ends with 128 + the signal's number after
// removing what it had started to write.
#pragma once

namespace korvane::host {
class Host;
}

namespace korvane::cli {

// Catches SIGINT, SIGTERM and SIGHUP for the rest of the process: the first one marks the run
// interrupted; a second SIGINT ends the process at once.
void CatchInterrupts();

// While alive, an interrupt also cancels `host`.
class CancelOnInterrupt {
public:
    explicit CancelOnInterrupt(host::Host& host);
    ~CancelOnInterrupt();
    CancelOnInterrupt(const CancelOnInterrupt&) = delete;
    CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;
};

bool interrupted();
// The exit code for the signal that interrupted the run (130, 143 or 129).
int interruptExitCode();
// Throws Cancelled with that code when the run was interrupted.
void throwIfInterrupted();

}  // namespace korvane::cli
