// The diagnostic log. Each line opens the rotating file, writes itself and closes the file again, so
// the file may be read, moved or deleted between lines. One process-wide lock keeps concurrent lines
// whole and in one piece each.
#include "LogsController.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>

#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include "korvane/sdk/HostKind.h"
#include "platform/Platform.h"

namespace korvane::log {
namespace {

constexpr std::size_t kMaxPath = 260;
constexpr std::size_t kMaxFileSize = 3145728;  // 3 MiB
constexpr std::size_t kMaxRotatedFiles = 5;
constexpr char kLoggerName[] = "basic_logger";
constexpr char kLinePattern[] = "%Y-%m-%d %H:%M:%S %v";
constexpr char kLineTag[] = "[KORVN] ";

// Where the log lives: filled by LoggerInit, empty before it, never freed.
struct LogLocation {
    char file_path[kMaxPath];
    char temp_folder[kMaxPath];
};

LogLocation g_location{};
std::mutex g_mutex;  // guards g_location and the create-write-close of each line

void StoreLocation(const std::string& file_path, const std::string& temp_folder) {
    std::lock_guard lock(g_mutex);
    std::memset(&g_location, 0, sizeof g_location);
    std::memcpy(g_location.file_path, file_path.data(), file_path.size());
    std::memcpy(g_location.temp_folder, temp_folder.data(), temp_folder.size());
}

// Writes one already tagged line to the file; reports a failure on standard output.
void WriteToFile(const std::string& line) {
    std::lock_guard lock(g_mutex);
    try {
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(g_location.file_path, kMaxFileSize,
                                                                           kMaxRotatedFiles, false);
        spdlog::logger logger(kLoggerName, std::move(sink));
        logger.set_formatter(std::make_unique<spdlog::pattern_formatter>(kLinePattern, spdlog::pattern_time_type::local,
                                                                         std::string("\r\n")));
        logger.info(line);
    } catch (const spdlog::spdlog_ex& ex) {
        std::cout << "Log failed: " << ex.what() << std::endl;
    } catch (const std::exception& ex) {
        std::cout << "Log failed: " << ex.what() << std::endl;
    } catch (...) {
        std::cout << "Log failed: unknown error" << std::endl;
    }
}

std::string BaseNameWithoutExtension(const char* file) {
    std::string name = file != nullptr ? file : "";
    const auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    const auto dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

}  // namespace

void LogLine(const std::string& text) {
    try {
        std::string line = kLineTag + text;
        if (!line.empty() && line.back() == '\n') {
            platform::DebugOutput(line);
            line.pop_back();
        } else {
            platform::DebugOutput(line + "\n");
        }
        WriteToFile(line);
    } catch (...) {
        // Logging never disturbs the caller.
    }
}

void LogErrorLine(const char* file, int line, const char* function, const std::string& message) {
    try {
        LogLine("ERROR [" + BaseNameWithoutExtension(file) + ":" + std::to_string(line) + ":" +
                (function != nullptr ? function : "") + "] :: " + message);
    } catch (...) {
    }
}

std::string LogFilePath() {
    std::lock_guard lock(g_mutex);
    return g_location.file_path;
}

void ForgetLogLocation() {
    std::lock_guard lock(g_mutex);
    std::memset(&g_location, 0, sizeof g_location);
}

PF_Err LoggerInit(PF_InData* in_data, PF_OutData* out_data, const char* display_name, const char* identifier) {
    try {
        const A_u_long version = out_data != nullptr ? out_data->my_version : 0;
        char version_line[1024];
        std::snprintf(version_line, sizeof version_line, "%s, v%ld.%ld.%ld in %s",
                      display_name != nullptr ? display_name : "", static_cast<long>(PF_Vers_MAJOR(version)),
                      static_cast<long>(PF_Vers_MINOR(version)), static_cast<long>(PF_Vers_BUG(version)),
                      HostTag(in_data).c_str());

        const std::string temp_folder = platform::TempFolder();
        const std::string file_path = temp_folder + (identifier != nullptr ? identifier : "") + ".log";
        // The location record holds MAX_PATH bytes each, the terminating NUL included.
        if (!temp_folder.empty() && file_path.size() < kMaxPath) {
            StoreLocation(file_path, temp_folder);
            LogLine("Welcome!");
            LogLine(version_line);
        } else {
            ForgetLogLocation();
            LogLine("Failed to get temp path on Windows.");
        }
        return PF_Err_NONE;
    } catch (const std::exception& ex) {
        const std::string text = std::string("An error occurred in LoggerInit:\n") + ex.what();
        KRVN_LOG_ERROR("LoggerInit", text);
        if (out_data != nullptr) {
            std::strncpy(out_data->return_msg, text.c_str(), PF_MAX_RETURN_MSG - 1);
            out_data->return_msg[PF_MAX_RETURN_MSG - 1] = '\0';
        }
        return PF_Err_INTERNAL_STRUCT_DAMAGED;
    }
}

}  // namespace korvane::log
