// The diagnostic log: one file in the temporary folder, one line per call, mirrored to the
// debugger output. Logging never throws and never disturbs rendering.
#pragma once

#include <string>

#include "korvane/sdk/Effect.h"

namespace korvane::log {

// Starts the log for this process: stores the file path and writes the welcome and version lines.
PF_Err LoggerInit(PF_InData* in_data, PF_OutData* out_data, const char* display_name, const char* identifier);

// Whether a step's result deserves an error line: any failure but the user's cancel.
inline bool Logged(PF_Err err) { return err != PF_Err_NONE && err != PF_Interrupt_CANCEL; }

// Writes one line, tagged "[KORVN] ".
void LogLine(const std::string& text);

// "ERROR [<file base name>:<line>:<function>] :: <message>", written through LogLine.
void LogErrorLine(const char* file, int line, const char* function, const std::string& message);

// The full path of the log file ("" before LoggerInit).
std::string LogFilePath();

// Forgets the stored location, as before LoggerInit: later lines reach no file until the next
// LoggerInit. For tests that need a process in its first state.
void ForgetLogLocation();

}  // namespace korvane::log

// Writes an error line naming this source file and line and the given function label.
#define KRVN_LOG_ERROR(FUNCTION_LABEL, MESSAGE) \
    ::korvane::log::LogErrorLine(__FILE__, __LINE__, (FUNCTION_LABEL), (MESSAGE))
