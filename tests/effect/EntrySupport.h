// Shared fixture of the entry tests: a host around the linked effect, a private temporary folder
// for the log (TMPDIR), and the leak check at the end of every test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "KRVN.h"
#include "LogsController.h"
#include "korvane/host/Host.h"

namespace korvane::entry_test {

namespace fs = std::filesystem;
using host::Host;
using host::Personality;

// Sets an environment variable for the life of the object and puts the old value back after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        Apply(value);
    }
    ~ScopedEnv() { Apply(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void Apply(const std::optional<std::string>& value) {
        if (value) {
            setenv(name_.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    std::string name_;
    std::optional<std::string> old_;
};

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "korvane-entry") {
        std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Lines of a log file, split at "\r\n"; a trailing piece without its line end is kept as well.
inline std::vector<std::string> SplitLogLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// The text after the "YYYY-MM-DD HH:MM:SS " time stamp of a log line; nothing when the stamp is malformed.
inline std::optional<std::string> AfterStamp(const std::string& line) {
    const std::string form = "dddd-dd-dd dd:dd:dd ";
    if (line.size() < form.size()) return std::nullopt;
    for (std::size_t i = 0; i < form.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (form[i] == 'd' ? !digit : line[i] != form[i]) return std::nullopt;
    }
    return line.substr(form.size());
}

// Whether a log line is "<stamp> [KORVN] ERROR [<file>:<number>:<function>] :: <text>".
inline bool IsErrorLine(const std::string& line, const std::string& file, const std::string& function,
                        const std::string& text) {
    const auto rest = AfterStamp(line);
    const std::string head = "[KORVN] ERROR [" + file + ":";
    if (!rest || rest->rfind(head, 0) != 0) return false;
    std::size_t pos = head.size();
    const std::size_t digits_start = pos;
    while (pos < rest->size() && (*rest)[pos] >= '0' && (*rest)[pos] <= '9') ++pos;
    if (pos == digits_start) return false;
    return rest->substr(pos) == ":" + function + "] :: " + text;
}

inline int CountErrorLines(const std::vector<std::string>& lines, const std::string& file, const std::string& function,
                           const std::string& text) {
    int n = 0;
    for (const auto& line : lines) n += IsErrorLine(line, file, function, text) ? 1 : 0;
    return n;
}

inline bool AnyLineContains(const std::vector<std::string>& lines, const std::string& part) {
    for (const auto& line : lines) {
        if (line.find(part) != std::string::npos) return true;
    }
    return false;
}

// Each test gets its own log folder; hosts made with MakeHost are set down and checked for leaks.
class EntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        log::ForgetLogLocation();  // lines before global set-up reach no file
        temp_ = std::make_unique<TempFolder>();
        tmpdir_ = std::make_unique<ScopedEnv>("TMPDIR", (temp_->path() / "").string());
    }

    void TearDown() override {
        for (auto& h : hosts_) {
            h->ClearFaults();
            h->SetInDataHook(nullptr);
            h->GlobalSetdown();
            const auto leaks = h->Leaks();
            std::string all;
            for (const auto& line : leaks) all += line + "\n";
            EXPECT_TRUE(leaks.empty()) << all;
        }
        hosts_.clear();
        log::ForgetLogLocation();  // the folder goes away with this test
        tmpdir_.reset();
        temp_.reset();
    }

    // A host around the linked effect; `effect_main` may wrap EffectMain to look inside a command.
    Host& MakeHost(Personality personality, EffectMainPtr effect_main = &EffectMain) {
        hosts_.push_back(std::make_unique<Host>(host::EntryPoints{&PluginDataEntryFunction, effect_main}, personality));
        return *hosts_.back();
    }

    // A host that has run global and parameter set-up.
    Host& SetUpHost(Personality personality, EffectMainPtr effect_main = &EffectMain) {
        Host& h = MakeHost(personality, effect_main);
        EXPECT_EQ(h.Setup(), PF_Err_NONE);
        return h;
    }

    fs::path log_path() const { return temp_->path() / "com.tsy.Korvane.log"; }
    std::vector<std::string> LogLines() const { return SplitLogLines(ReadFile(log_path())); }
    const fs::path& temp_path() const { return temp_->path(); }

private:
    std::unique_ptr<TempFolder> temp_;
    std::unique_ptr<ScopedEnv> tmpdir_;
    std::vector<std::unique_ptr<Host>> hosts_;
};

}  // namespace korvane::entry_test
