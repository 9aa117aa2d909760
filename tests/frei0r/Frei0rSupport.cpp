// The frei0r test harness: loading korvane.so, instances, frames, the frozen list, subprocesses.
#include "Frei0rSupport.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

extern char** environ;

namespace korvane::frei0r_test {
namespace fs = std::filesystem;

namespace {

template <typename F>
void Resolve(void* handle, const char* name, F& fn) {
    fn = reinterpret_cast<F>(dlsym(handle, name));
    if (!fn) ADD_FAILURE() << KORVANE_FREI0R_PATH << " does not export " << name;
}

Frei0rApi Open() {
    Frei0rApi api;
    api.handle = dlopen(KORVANE_FREI0R_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!api.handle) {
        ADD_FAILURE() << "cannot dlopen " << KORVANE_FREI0R_PATH << ": " << dlerror();
        return api;
    }
    Resolve(api.handle, "f0r_init", api.init);
    Resolve(api.handle, "f0r_deinit", api.deinit);
    Resolve(api.handle, "f0r_get_plugin_info", api.get_plugin_info);
    Resolve(api.handle, "f0r_get_param_info", api.get_param_info);
    Resolve(api.handle, "f0r_construct", api.construct);
    Resolve(api.handle, "f0r_destruct", api.destruct);
    Resolve(api.handle, "f0r_set_param_value", api.set_param_value);
    Resolve(api.handle, "f0r_get_param_value", api.get_param_value);
    Resolve(api.handle, "f0r_update", api.update);
    if (api.get_plugin_info) {
        f0r_plugin_info_t info{};
        api.get_plugin_info(&info);
        api.num_params = info.num_params;
    }
    return api;
}

}  // namespace

const Frei0rApi& Api() {
    static const Frei0rApi api = Open();
    return api;
}

Instance::Instance(unsigned width, unsigned height) : width_(width), height_(height) {
    EXPECT_EQ(Api().init(), 1);
    instance_ = Api().construct(width, height);
}

Instance::~Instance() {
    if (instance_) Api().destruct(instance_);
    Api().deinit();
}

void Instance::Set(int index, double value) { Api().set_param_value(instance_, &value, index); }

double Instance::Get(int index) const {
    double value = -12345;
    Api().get_param_value(instance_, &value, index);
    return value;
}

std::vector<uint32_t> Instance::Render(const std::vector<uint32_t>& frame, double time) {
    std::vector<uint32_t> out(static_cast<size_t>(width_) * height_, 0xdeadbeefu);
    Api().update(instance_, time, frame.data(), out.data());
    return out;
}

std::vector<uint32_t> TestFrame(unsigned width, unsigned height, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint32_t> frame(static_cast<size_t>(width) * height);
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            auto channel = [&](unsigned base) { return (base + random() % 64) & 0xffu; };
            const unsigned r = channel(x * 255 / std::max(1u, width)), g = channel(y * 255 / std::max(1u, height));
            const unsigned b = channel((x + y) * 97), a = 160 + random() % 96;
            frame[static_cast<size_t>(y) * width + x] = r | g << 8 | b << 16 | a << 24;  // bytes R G B A
        }
    }
    return frame;
}

std::vector<FrozenParam> FrozenParams() {
    std::ifstream in(std::string(KORVANE_SOURCE_DIR) + "/bridges/frei0r/params.txt");
    std::vector<FrozenParam> params;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        int index = -1;
        std::string name, type;
        fields >> index >> name >> type;
        EXPECT_EQ(index, static_cast<int>(params.size())) << line;
        params.push_back({name, type == "bool" ? F0R_PARAM_BOOL : F0R_PARAM_DOUBLE});
    }
    return params;
}

int RunProgram(const std::vector<std::string>& argv_in, const std::vector<std::string>& env, std::string* err) {
    static int counter = 0;
    const fs::path base = fs::path(KORVANE_BINARY_DIR) / "tests" / "frei0r-work";
    fs::create_directories(base);
    const std::string err_path = (base / (std::to_string(getpid()) + "-" + std::to_string(counter++) + ".err")).string();
    std::vector<std::string> argv_text = argv_in;
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
    env_text.insert(env_text.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    std::ifstream text(err_path);
    std::stringstream buffer;
    buffer << text.rdbuf();
    if (err) *err = buffer.str();
    fs::remove(err_path);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((fs::path(dir) / program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

}  // namespace korvane::frei0r_test
