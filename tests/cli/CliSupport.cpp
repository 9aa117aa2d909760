// Process spawning and image helpers for the black-box tests.
#include "CliSupport.h"

#include <OpenImageIO/imageio.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

extern char** environ;

namespace korvane::clitest {
namespace fs = std::filesystem;

RunResult Korvane(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    return RunProgram(std::string(KORVANE_BINARY_DIR) + "/bin/korvane", args, env);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env) {
    static int counter = 0;
    const fs::path base = fs::path(KORVANE_BINARY_DIR) / "tests" / "cli-work" / "_streams";
    fs::create_directories(base);
    const std::string stem = (base / (std::to_string(getpid()) + "-" + std::to_string(counter++))).string();
    const std::string out_path = stem + ".out", err_path = stem + ".err";

    std::vector<std::string> argv_text = {program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_text;
    auto replaced = [&](const std::string& entry) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        return std::any_of(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(name, 0) == 0; });
    };
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("KORVANE_TEST_", 0) != 0 && !replaced(entry)) env_text.push_back(entry);
    }
    env_text.insert(env_text.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    RunResult result;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        result.err = "cannot start " + argv_text[0];
        return result;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = ReadBytes(out_path);
    result.err = ReadBytes(err_path);
    fs::remove(out_path);
    fs::remove(err_path);
    return result;
}

FileImage ReadFile(const std::string& path) {
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path, &config);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path << ": " << OIIO::geterror();
        return {};
    }
    FileImage image;
    image.width = in->spec().width;
    image.height = in->spec().height;
    image.channels = in->spec().nchannels;
    image.format = in->spec().format;
    image.values.resize(static_cast<std::size_t>(image.width) * image.height * image.channels);
    EXPECT_TRUE(in->read_image(0, 0, 0, image.channels, OIIO::TypeDesc::FLOAT, image.values.data())) << in->geterror();
    return image;
}

void WriteFile(const std::string& path, const FileImage& image) {
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out) << OIIO::geterror();
    OIIO::ImageSpec file_spec(image.width, image.height, image.channels, image.format);
    file_spec.attribute("oiio:UnassociatedAlpha", 1);
    if (image.channels == 4) file_spec.alpha_channel = 3;
    ASSERT_TRUE(out->open(path, file_spec)) << out->geterror();
    ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, image.values.data())) << out->geterror();
    ASSERT_TRUE(out->close());
}

FileImage RandomImage(int width, int height, int channels, OIIO::TypeDesc format, unsigned seed) {
    std::mt19937 rng(seed);
    FileImage image{width, height, channels, format, {}};
    image.values.resize(static_cast<std::size_t>(width) * height * channels);
    for (float& v : image.values) {
        if (format == OIIO::TypeDesc::UINT8) {
            v = static_cast<float>(rng() % 256) / 255.0f;
        } else if (format == OIIO::TypeDesc::UINT16) {
            const unsigned world = rng() % 32769;
            v = static_cast<float>(std::lround(world * 65535.0 / 32768.0)) / 65535.0f;
        } else {
            v = static_cast<float>(rng() % 100001) / 100000.0f;
        }
    }
    return image;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string SourceData(const std::string& relative) { return std::string(KORVANE_SOURCE_DIR) + "/" + relative; }

void ExpectNoSpace(const RunResult& r, const std::string& path) {
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_EQ(r.err, "korvane: cannot write '" + path + "': no space left on device\n");
    EXPECT_EQ(r.out, "");
}

SmallFilesystem::SmallFilesystem(const std::string& folder, std::size_t bytes) : folder_(folder) {
    if (geteuid() != 0) {
        why_not_ = "mounting a small tmpfs needs root";
        return;
    }
    fs::create_directories(folder_);
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mount("tmpfs", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        why_not_ = std::string("cannot mount a tmpfs on ") + folder_ + ": " + std::strerror(errno);
        return;
    }
    mounted_ = true;
}

SmallFilesystem::~SmallFilesystem() {
    // Detached, so that the mount goes even while a file in it is still open.
    if (mounted_ && ::umount2(folder_.c_str(), MNT_DETACH) != 0)
        ADD_FAILURE() << "cannot unmount " << folder_ << ": " << std::strerror(errno);
}

std::size_t SmallFilesystem::PageSize() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

void SmallFilesystem::FillLeaving(std::size_t free_pages) {
    const std::string filler = folder_ + "/.filler";
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const std::vector<char> page(PageSize(), 'x');
    off_t size = 0;
    for (;;) {
        const ssize_t n = ::write(fd, page.data(), page.size());
        if (n <= 0) break;
        size += n;
    }
    const int full = errno;
    const off_t keep = size - static_cast<off_t>(free_pages * PageSize());
    EXPECT_EQ(full, ENOSPC) << std::strerror(full);
    EXPECT_GE(keep, 0) << "the file system holds fewer than " << free_pages << " free pages";
    EXPECT_EQ(::ftruncate(fd, std::max<off_t>(keep, 0)), 0) << std::strerror(errno);
    ::close(fd);
}

ScopedUmask::ScopedUmask(unsigned mask) : saved_(::umask(static_cast<mode_t>(mask))) {}
ScopedUmask::~ScopedUmask() { ::umask(static_cast<mode_t>(saved_)); }

unsigned PermissionBits(const std::string& path) {
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0) {
        ADD_FAILURE() << "cannot stat " << path << ": " << std::strerror(errno);
        return 0;
    }
    return info.st_mode & 0777;
}

void CliTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(KORVANE_BINARY_DIR) / "tests" / "cli-work" /
           (std::string(info->test_suite_name()) + "." + info->name());
    // A SmallFilesystem left mounted by a run that was killed would make the folder busy.
    std::ifstream mounts("/proc/self/mounts");
    for (std::string device, point, rest; mounts >> device >> point && std::getline(mounts, rest);)
        if (point.rfind(dir_.string() + "/", 0) == 0) ::umount2(point.c_str(), MNT_DETACH);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace korvane::clitest
