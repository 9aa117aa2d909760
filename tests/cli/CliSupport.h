// Running the korvane binary as a user would, and reading and writing the images it works on.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <OpenImageIO/typedesc.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace korvane::clitest {

struct RunResult {
    int exit_code = -1;  // 128 + signal when the process was killed by one
    std::string out;
    std::string err;
};

// Runs bin/korvane with `args` (no shell), extra "NAME=VALUE" environment entries (replacing
// those of the same name), stdin empty.
RunResult Korvane(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
// The same for any program, looked up on PATH when `program` has no slash (ffmpeg, ffprobe).
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {});

// Pixels of a file as OpenImageIO reads them (associated alpha off), normalised to floats: two
// files hold the same values exactly when their `values` are equal.
struct FileImage {
    int width = 0;
    int height = 0;
    int channels = 0;
    OIIO::TypeDesc format;
    std::vector<float> values;

    float at(int x, int y, int c) const { return values[(static_cast<std::size_t>(y) * width + x) * channels + c]; }
};

FileImage ReadFile(const std::string& path);
// `values` normalised 0..1 (for integer formats rounded to the nearest code).
void WriteFile(const std::string& path, const FileImage& image);
// Deterministic noise in every channel; for 16-bit files only codes that a 16-bit world can carry
// (file = round(world * 65535 / 32768)), so that a render that changes nothing gives them back.
FileImage RandomImage(int width, int height, int channels, OIIO::TypeDesc format, unsigned seed);
// The files in a folder, names only.
std::vector<std::string> FolderEntries(const std::string& folder);
std::string ReadBytes(const std::string& path);

std::string SourceData(const std::string& relative);  // path under the source tree

// A run stopped because `path` found no space: exit 2, one line naming it and why, nothing else.
void ExpectNoSpace(const RunResult& r, const std::string& path);

// A tmpfs of a few pages mounted on a new folder for as long as the object lives, to run out of
// space for real. Mounting needs root; `mounted()` is false and `whyNot()` says why otherwise.
class SmallFilesystem {
public:
    SmallFilesystem(const std::string& folder, std::size_t bytes);
    ~SmallFilesystem();  // unmounts, also when the test failed
    SmallFilesystem(const SmallFilesystem&) = delete;
    SmallFilesystem& operator=(const SmallFilesystem&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& whyNot() const { return why_not_; }
    // Fills what is free with a file of its own, then frees `free_pages` pages of it.
    void FillLeaving(std::size_t free_pages);
    static std::size_t PageSize();
    static std::size_t Pages(std::size_t bytes) { return (bytes + PageSize() - 1) / PageSize(); }

private:
    std::string folder_;
    bool mounted_ = false;
    std::string why_not_;
};

// Sets the process's umask (inherited by the programs it runs) until it goes.
class ScopedUmask {
public:
    explicit ScopedUmask(unsigned mask);
    ~ScopedUmask();
    ScopedUmask(const ScopedUmask&) = delete;
    ScopedUmask& operator=(const ScopedUmask&) = delete;

private:
    unsigned saved_;
};
unsigned PermissionBits(const std::string& path);  // st_mode & 0777

// Each test gets an empty folder of its own under the build tree.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override;
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path dir_;
};

// The look that selects nothing: every pixel breaks every span, so a render gives back its input.
inline const std::vector<std::string> kNothingSelected = {"--set", "threshold_low=0", "--set", "threshold_high=0"};
// A look that sorts most of any picture.
inline const std::vector<std::string> kSortMost = {"--set", "threshold_low=0", "--set", "threshold_high=1"};

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b);

}  // namespace korvane::clitest
