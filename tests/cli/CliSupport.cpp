// Process spawning and image helpers for the black-box tests.
#include "CliSupport.h"

#include <OpenImageIO/imageio.h>
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>

extern char** environ;

namespace korvane::clitest {
namespace fs = std::filesystem;

RunResult Korvane(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    return RunProgram(std::string(KORVANE_BINARY_DIR) + "/bin/korvane", args, env);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env) {
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

void CliTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(KORVANE_BINARY_DIR) / "tests" / "cli-work" / (std::string(info->test_suite_name()) + "." + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace korvane::clitest
