// The diagnostic log: line form, one file per folder, re-creation after deletion, rotation, the
// debugger mirror, and many threads writing at once.
#include <cstdio>
#include <set>
#include <thread>

#include "EntrySupport.h"
#include "platform/Platform.h"

namespace korvane::entry_test {
namespace {

// Starts the log in this test's folder the way global set-up does.
void StartLog(Personality personality = Personality::AfterEffects) {
    PF_InData in{};
    in.appl_id = host::ApplId(personality);
    in.version.major = 13;
    PF_OutData out{};
    out.my_version = kVersion;
    ASSERT_EQ(log::LoggerInit(&in, &out, "Korvane ", "com.tsy.Korvane"), PF_Err_NONE);
}

class Log : public EntryTest {};
class LogConcurrency : public EntryTest {};

TEST_F(Log, StartWritesWelcomeAndVersion) {
    StartLog();
    EXPECT_EQ(log::LogFilePath(), log_path().string());
    const std::string text = ReadFile(log_path());
    ASSERT_EQ(text.size(), 2 * 20 + std::string("[KORVN] Welcome!\r\n[KORVN] Korvane , v3.1.0 in ae13\r\n").size());
    const auto lines = SplitLogLines(text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(AfterStamp(lines[0]), "[KORVN] Welcome!");
    EXPECT_EQ(AfterStamp(lines[1]), "[KORVN] Korvane , v3.1.0 in ae13");
}

TEST_F(Log, MessageEndingInNewlineIsOneLine) {
    StartLog();
    log::LogLine("first\n");
    log::LogLine("second");
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(AfterStamp(lines[2]), "[KORVN] first");
    EXPECT_EQ(AfterStamp(lines[3]), "[KORVN] second");
}

TEST_F(Log, ErrorLineNamesFileLineAndFunction) {
    StartLog();
    const int line = __LINE__ + 1;
    KRVN_LOG_ERROR("SomeStep", "went wrong");
    const auto lines = LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(AfterStamp(lines.back()),
              "[KORVN] ERROR [EntryLogTest:" + std::to_string(line) + ":SomeStep] :: went wrong");
}

TEST_F(Log, DeletedFileIsCreatedAgain) {
    StartLog();
    KRVN_LOG_ERROR("A", "one");
    ASSERT_TRUE(fs::remove(log_path()));
    KRVN_LOG_ERROR("B", "two");
    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(":B] :: two"), std::string::npos);
}

// Without TMPDIR the log goes to the session's runtime folder, else to a private folder in /tmp that
// another user cannot have prepared: one that is not private is refused and the log is not started.
TEST_F(Log, TemporaryFolderIsTheUsersOwn) {
    ScopedEnv no_tmpdir("TMPDIR", std::nullopt);
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", temp_path().string());
        EXPECT_EQ(platform::TempFolder(), temp_path().string() + "/");
    }
    ScopedEnv no_runtime("XDG_RUNTIME_DIR", std::nullopt);
    const std::string private_folder = "/tmp/korvane-" + std::to_string(getuid());
    fs::remove_all(private_folder);
    EXPECT_EQ(platform::TempFolder(), private_folder + "/");
    EXPECT_EQ(fs::status(private_folder).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(platform::TempFolder(), private_folder + "/") << "found again";

    fs::permissions(private_folder, fs::perms::group_write | fs::perms::others_write, fs::perm_options::add);
    EXPECT_EQ(platform::TempFolder(), "");
    testing::internal::CaptureStdout();
    StartLog();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Log failed: "), std::string::npos);
    EXPECT_EQ(log::LogFilePath(), "");
    fs::remove_all(private_folder);
}

TEST_F(Log, NothingReachesDiskBeforeStart) {
    testing::internal::CaptureStdout();
    log::LogLine("too early");
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("Log failed: ", 0), 0u) << printed;
    EXPECT_EQ(printed.back(), '\n');
    EXPECT_TRUE(fs::is_empty(temp_path()));
    EXPECT_EQ(log::LogFilePath(), "");
}

TEST_F(Log, TooLongTempFolderStoresNoPath) {
    const fs::path deep = temp_path() / std::string(250, 'd');
    fs::create_directories(deep);
    ScopedEnv tmpdir("TMPDIR", deep.string());
    testing::internal::CaptureStdout();
    StartLog();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(log::LogFilePath(), "");
    EXPECT_NE(printed.find("Log failed: "), std::string::npos);
    EXPECT_TRUE(fs::is_empty(deep));
}

TEST_F(Log, RotatesPast3MiBKeepingFiveFiles) {
    StartLog();
    const std::string big(100 * 1024, 'x');  // about 31 lines per 3 MiB file
    for (int i = 0; i < 31 * 7; ++i) log::LogLine(big);
    const std::string base = (temp_path() / "com.tsy.Korvane").string();
    for (int n = 1; n <= 5; ++n) {
        const fs::path rotated = base + "." + std::to_string(n) + ".log";
        ASSERT_TRUE(fs::exists(rotated)) << rotated;
        EXPECT_LE(fs::file_size(rotated), 3145728u);
        EXPECT_GT(fs::file_size(rotated), 3145728u - big.size() - 64);
    }
    EXPECT_FALSE(fs::exists(base + ".6.log"));
    EXPECT_LE(fs::file_size(log_path()), 3145728u);
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(temp_path())) ++files;
    EXPECT_EQ(files, 6u);
}

TEST_F(Log, DebugOutputOnlyWhenAskedFor) {
    StartLog();
    {
        ScopedEnv off("KORVANE_DEBUG_OUTPUT", std::nullopt);
        testing::internal::CaptureStderr();
        log::LogLine("quiet");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    ScopedEnv on("KORVANE_DEBUG_OUTPUT", "1");
    testing::internal::CaptureStderr();
    log::LogLine("loud");
    log::LogLine("ends\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[KORVN] loud\n[KORVN] ends\n");
}

TEST_F(LogConcurrency, EveryLineFromManyThreadsArrivesWholeAndOnce) {
    StartLog();
    constexpr int kThreads = 8;
    constexpr int kLinesEach = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesEach; ++i) {
                log::LogLine("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                             std::string(static_cast<std::size_t>(50 + (i * 37) % 400), 'a' + static_cast<char>(t)));
            }
        });
    }
    for (auto& thread : threads) thread.join();

    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 2u + kThreads * kLinesEach);
    std::set<std::pair<int, int>> seen;
    for (std::size_t n = 2; n < lines.size(); ++n) {
        const auto rest = AfterStamp(lines[n]);
        ASSERT_TRUE(rest.has_value()) << lines[n].substr(0, 80);
        int t = -1;
        int i = -1;
        int consumed = 0;
        ASSERT_EQ(std::sscanf(rest->c_str(), "[KORVN] thread %d line %d %n", &t, &i, &consumed), 2) << *rest;
        ASSERT_TRUE(t >= 0 && t < kThreads && i >= 0 && i < kLinesEach) << *rest;
        const std::string payload = rest->substr(static_cast<std::size_t>(consumed));
        EXPECT_EQ(payload, std::string(static_cast<std::size_t>(50 + (i * 37) % 400), static_cast<char>('a' + t)));
        EXPECT_TRUE(seen.insert({t, i}).second) << "twice: " << t << " " << i;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLinesEach));
}

}  // namespace
}  // namespace korvane::entry_test
