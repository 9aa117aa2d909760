// The frei0r tests' harness: korvane.so opened with dlopen and driven through its f0r_* entry
// points only, as a host would, plus test frames, the checked-in parameter list and a shell.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <frei0r.h>
}

namespace korvane::frei0r_test {

struct Frei0rApi {
    decltype(&f0r_init) init = nullptr;
    decltype(&f0r_deinit) deinit = nullptr;
    decltype(&f0r_get_plugin_info) get_plugin_info = nullptr;
    decltype(&f0r_get_param_info) get_param_info = nullptr;
    decltype(&f0r_construct) construct = nullptr;
    decltype(&f0r_destruct) destruct = nullptr;
    decltype(&f0r_set_param_value) set_param_value = nullptr;
    decltype(&f0r_get_param_value) get_param_value = nullptr;
    decltype(&f0r_update) update = nullptr;
    decltype(&f0r_update2) update2 = nullptr;
    int num_params = 0;
};

// A module opened once per process with every entry point resolved (fails the test otherwise).
const Frei0rApi& Api(const std::string& path = KORVANE_FREI0R_PATH);

// One instance of korvane.so for the lifetime of the object (f0r_init / f0r_construct, and back).
class Instance {
public:
    Instance(unsigned width, unsigned height);
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    bool valid() const { return instance_ != nullptr; }
    void Set(int index, double value);
    double Get(int index) const;
    std::vector<uint32_t> Render(const std::vector<uint32_t>& frame, double time = 0.0);

private:
    f0r_instance_t instance_ = nullptr;
    unsigned width_, height_;
};

// An RGBA frame with smooth gradients under noise, so that spans form and sort.
std::vector<uint32_t> TestFrame(unsigned width, unsigned height, unsigned seed);

// The checked-in frozen parameter list (bridges/frei0r/params.txt): name and frei0r type by index.
struct FrozenParam {
    std::string name;
    int type;
};
std::vector<FrozenParam> FrozenParams();

// Runs a shell command line with FREI0R_PATH set to the build's plug-ins; returns its exit status,
// with its standard error in `err`.
int Shell(const std::string& command, std::string* err = nullptr);
std::string Quoted(const std::string& text);  // one shell word

}  // namespace korvane::frei0r_test
