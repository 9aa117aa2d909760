// The few operating-system services the effect needs: the temporary folder, the debugger output
// and opening a web address in the user's browser.
#pragma once

#include <string>

namespace korvane::platform {

// The word the help site uses for this build's platform: "linux", "win" or "mac".
const char* PlatformWord();

// The temporary folder with a trailing separator: $TMPDIR when set and not empty, else "/tmp/".
std::string TempFolder();

// Mirrors a log line for a developer: to standard error when KORVANE_DEBUG_OUTPUT is set, else nowhere.
void DebugOutput(const std::string& text);

// Opens `url` with the desktop's default handler (xdg-open, started without a shell). Whether it
// worked is not reported; the child is reaped so that it never lingers as a zombie.
void OpenUrl(const std::string& url);

}  // namespace korvane::platform
