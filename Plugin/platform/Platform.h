// The few operating-system services the effect needs: the temporary folder, the debugger output
// and opening a web address in the user's browser.
#pragma once

#include <string>

namespace korvane::platform {

// The word the help site uses for this build's platform: "linux", "win" or "mac".
const char* PlatformWord();

// The user's temporary folder with a trailing separator: $TMPDIR when set and not empty, else
// $XDG_RUNTIME_DIR, else "/tmp/korvane-UID/" (created with mode 0700). "" when that folder cannot be
// made, or exists but is not a private folder of this user's.
std::string TempFolder();

// Mirrors a log line for a developer: to standard error when KORVANE_DEBUG_OUTPUT is set, else nowhere.
void DebugOutput(const std::string& text);

// Opens `url` with the desktop's default handler (xdg-open, started without a shell). Whether it
// worked is not reported; the child is reaped so that it never lingers as a zombie.
void OpenUrl(const std::string& url);

}  // namespace korvane::platform
