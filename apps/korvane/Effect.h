// Opening the effect through the host: load by path, set up, and check its parameters against the
// shared table; and the words for the effect's error codes.
#pragma once

#include <memory>
#include <string>

#include "korvane/host/Host.h"

namespace korvane::cli {

// Korvane.so next to the running executable.
std::string defaultEffectPath();

// Loads and sets up the effect (global and parameter set-up) and checks that every registered
// parameter matches the table. Throws UsageError when the module cannot be loaded, EffectError
// when set-up fails or the parameters differ.
std::unique_ptr<host::Host> openEffect(const std::string& path, host::Personality personality);

// The effect's diagnostic log: the effect's temporary folder and "com.tsy.Korvane.log".
std::string logFilePath();

// Throws EffectError "effect error during WHAT: CODE TEXT[: MESSAGE]; log: PATH".
[[noreturn]] void throwEffectError(const host::Host& host, PF_Err err, const std::string& during);

}  // namespace korvane::cli
