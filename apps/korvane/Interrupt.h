// Ctrl-C during a render: the host is asked to cancel, and the effect's next progress call answers
// PF_Interrupt_CANCEL.
#pragma once

namespace korvane::host {
class Host;
}

namespace korvane::cli {

// While alive, the first SIGINT marks the run interrupted and cancels `host`; a second SIGINT ends
// the process at once.
class CancelOnInterrupt {
public:
    explicit CancelOnInterrupt(host::Host& host);
    ~CancelOnInterrupt();
    CancelOnInterrupt(const CancelOnInterrupt&) = delete;
    CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;
};

bool interrupted();

}  // namespace korvane::cli
