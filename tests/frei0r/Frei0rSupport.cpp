// The frei0r test harness: loading the modules, instances, frames, the frozen list, a shell.
#include "Frei0rSupport.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace korvane::frei0r_test {

const Frei0rApi& Api(const std::string& path) {
    static std::map<std::string, Frei0rApi> opened;
    if (auto it = opened.find(path); it != opened.end()) return it->second;
    Frei0rApi& api = opened[path];
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        ADD_FAILURE() << "cannot dlopen " << path << ": " << dlerror();
        return api;
    }
    auto resolve = [&](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle, name));
        if (!fn) ADD_FAILURE() << path << " does not export " << name;
    };
    resolve(api.init, "f0r_init");
    resolve(api.deinit, "f0r_deinit");
    resolve(api.get_plugin_info, "f0r_get_plugin_info");
    resolve(api.get_param_info, "f0r_get_param_info");
    resolve(api.construct, "f0r_construct");
    resolve(api.destruct, "f0r_destruct");
    resolve(api.set_param_value, "f0r_set_param_value");
    resolve(api.get_param_value, "f0r_get_param_value");
    resolve(api.update, "f0r_update");
    resolve(api.update2, "f0r_update2");
    f0r_plugin_info_t info{};
    if (api.get_plugin_info) api.get_plugin_info(&info);
    api.num_params = info.num_params;
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
    for (size_t i = 0; i < frame.size(); ++i) {
        const unsigned x = static_cast<unsigned>(i % width), y = static_cast<unsigned>(i / width);
        const unsigned r = (x * 255 / width + random() % 64) & 0xffu, g = (y * 255 / height + random() % 64) & 0xffu;
        frame[i] = r | g << 8 | (random() & 0xffu) << 16 | (160 + random() % 96) << 24;  // bytes R G B A
    }
    return frame;
}

std::vector<FrozenParam> FrozenParams() {
    std::ifstream in(std::string(KORVANE_SOURCE_DIR) + "/bridges/frei0r/params.txt");
    std::vector<FrozenParam> params;
    for (std::string line; std::getline(in, line);) {
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

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

int Shell(const std::string& command, std::string* err) {
    static int counter = 0;
    const std::string err_path = std::string(KORVANE_BINARY_DIR) + "/tests/frei0r-" + std::to_string(getpid()) + "-" +
                                 std::to_string(counter++) + ".err";
    const int status = std::system(
        ("FREI0R_PATH=" KORVANE_FREI0R_DIR " " + command + " </dev/null >/dev/null 2>" + Quoted(err_path)).c_str());
    std::ifstream text(err_path);
    std::stringstream buffer;
    buffer << text.rdbuf();
    if (err) *err = buffer.str();
    std::remove(err_path.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace korvane::frei0r_test
