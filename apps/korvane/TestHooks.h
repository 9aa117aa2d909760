// Hooks for the CLI's black-box tests, switched on by environment variables and inert otherwise:
//   KORVANE_TEST_SIGINT_AT_PROGRESS=N  the N-th progress call of the process raises SIGINT, which
//                                      takes the same path as a real Ctrl-C at a known point
//                                      (KORVANE_TEST_SIGNAL=15 or 1 raises SIGTERM or SIGHUP instead);
//   KORVANE_TEST_SIGNAL_AFTER_WRITE=1  the same signal once the first image file is written under its
//                                      temporary name, before it is renamed into place;
//   KORVANE_TEST_SIGNAL_AT=STAGE:N     the same signal the N-th time the run reaches STAGE: `read`
//                                      (a frame of the input was read), `render` (a progress
//                                      call) or `write` (an image file opened under its temporary
//                                      name, a frame handed to the video encoder, or the end of
//                                      the video);
//   KORVANE_TEST_FAIL_CALL=NAME:N:CODE the host's callback or suite function NAME fails on its N-th
//                                      call with PF_Err CODE (the host's fault injection), so that
//                                      the effect returns an error;
//   KORVANE_TEST_STALL_DECODE_AT=N     before handing over a clip's N-th frame the decoding thread
//                                      blocks in a read that never completes, as on a stalled disk,
//                                      and the test signal arrives 300 ms later;
//   KORVANE_TEST_PREVIEW_STALL_MS=N    the first progress call of the preview's first render waits
//                                      N ms, so that a newer request surely finds it in flight;
//   KORVANE_TEST_FAIL_WRITE=N          the N-th checked write of the process (an AtomicOutput
//                                      write, or the close in its commit) fails with ENOSPC, as on
//                                      a full disk, without writing.
#pragma once

#include <atomic>

namespace korvane::host {
class Host;
}

namespace korvane::cli {

enum class TestStage { Read, Render, Write };

void noteProgressCallForTestHook();
void noteStageForTestHook(TestStage stage);
void noteFileWrittenForTestHook();
void stallFirstPreviewRenderForTestHook();
// Returns once `stop` is set and the thread is woken by a signal.
void stallDecodeForTestHook(long frame, const std::atomic<bool>& stop);
bool failThisWriteForTestHook();            // true for the write that KORVANE_TEST_FAIL_WRITE names
void applyFaultTestHook(host::Host& host);  // throws UsageError for a malformed value

}  // namespace korvane::cli
