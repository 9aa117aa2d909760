// A small fake effect for the host library's own tests: it registers, adds a fixed set of
// parameters, and runs whatever script the test hands it inside each command, so a test can call
// the host's callbacks and suites exactly as an effect does.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "korvane/host/Host.h"

namespace korvane::hostlib_test {

using host::Color;
using host::Host;
using host::Personality;
using host::World;

using Script = std::function<PF_Err(PF_Cmd, PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*, void*)>;

// The fake effect's parameters.
enum FakeParam {
    kFloat = 1,     // float slider 0..100, default 12.5
    kAngle = 2,     // angle, default 0
    kSlider = 3,    // integer slider 0..100, default 4
    kPopup = 4,     // popup "One|Two|Three", default 2
    kCheckbox = 5,  // checkbox, default on
    kLayer = 6,     // layer, default none
    kPath = 7,      // path, default none
    kButton = 8,    // button
    kFakeParamCount = 8,
};

inline Script& CurrentScript() {
    static Script script;
    return script;
}

inline PF_Err AddFakeParams(PF_InData* in) {
    auto add = [in](PF_ParamDef def) { return in->inter.add_param(in->effect_ref, -1, &def); };
    PF_ParamDef d{};
    PF_Err err = PF_Err_NONE;
    d = {};
    d.param_type = PF_Param_FLOAT_SLIDER;
    d.uu.id = 11;
    std::strcpy(d.name, "float");
    d.u.fs_d.valid_max = d.u.fs_d.slider_max = 100.0f;
    d.u.fs_d.dephault = 12.5f;
    if ((err = add(d))) return err;
    d = {};
    d.param_type = PF_Param_ANGLE;
    d.uu.id = 12;
    std::strcpy(d.name, "angle");
    if ((err = add(d))) return err;
    d = {};
    d.param_type = PF_Param_SLIDER;
    d.uu.id = 13;
    std::strcpy(d.name, "slider");
    d.u.sd.valid_max = d.u.sd.slider_max = 100;
    d.u.sd.dephault = 4;
    if ((err = add(d))) return err;
    d = {};
    d.param_type = PF_Param_POPUP;
    d.uu.id = 14;
    std::strcpy(d.name, "popup");
    d.u.pd.num_choices = 3;
    d.u.pd.dephault = 2;
    const std::string items = "One|Two|Three";  // a temporary: the host must keep its own copy
    d.u.pd.u.namesptr = items.c_str();
    if ((err = add(d))) return err;
    d = {};
    d.param_type = PF_Param_CHECKBOX;
    d.uu.id = 15;
    std::strcpy(d.name, "checkbox");
    d.u.bd.dephault = 1;
    if ((err = add(d))) return err;
    d = {};
    d.param_type = PF_Param_LAYER;
    d.uu.id = 16;
    std::strcpy(d.name, "layer");
    if ((err = add(d))) return err;
    d = {};
    d.param_type = PF_Param_PATH;
    d.uu.id = 17;
    std::strcpy(d.name, "path");
    if ((err = add(d))) return err;
    d = {};
    d.param_type = PF_Param_BUTTON;
    d.uu.id = 18;
    std::strcpy(d.name, "button");
    return add(d);
}

inline PF_Err FakeEffectMain(PF_Cmd cmd, PF_InData* in, PF_OutData* out, PF_ParamDef* params[], PF_LayerDef* output,
                             void* extra) {
    if (const Script& script = CurrentScript()) return script(cmd, in, out, params, output, extra);
    if (cmd == PF_Cmd_PARAMS_SETUP) return AddFakeParams(in);
    return PF_Err_NONE;
}

inline PF_Err FakeRegister(void* in_ptr, PF_RegisterCallback cb) {
    return cb(in_ptr, "Fake ", "Fake Match", "Tests", "EffectMain", PF_KIND_EFFECT, 13, 28, 8);
}

template <typename Suite>
const Suite* Acquire(PF_InData* in, const char* name, int version) {
    const void* suite = nullptr;
    if (!in->pica_basicP || in->pica_basicP->AcquireSuite(name, version, &suite) != kSPNoError) return nullptr;
    return static_cast<const Suite*>(suite);
}

inline void Release(PF_InData* in, const char* name, int version) { in->pica_basicP->ReleaseSuite(name, version); }

// A host around the fake effect, set up (global set-up and parameters) for each test.
class HostLibTest : public ::testing::Test {
protected:
    void SetUp() override { MakeHost(Personality::AfterEffects); }
    void TearDown() override { CurrentScript() = nullptr; }

    void MakeHost(Personality personality) {
        CurrentScript() = nullptr;
        host_ = std::make_unique<Host>(host::EntryPoints{&FakeRegister, &FakeEffectMain}, personality);
        ASSERT_EQ(host_->Setup(), PF_Err_NONE);
    }

    // Runs `script` as the effect's answer to one command.
    PF_Err Run(const Script& script, PF_Cmd cmd = PF_Cmd_FRAME_SETUP) {
        CurrentScript() = script;
        const PF_Err err = host_->Command(cmd);
        CurrentScript() = nullptr;
        return err;
    }

    // Runs `body(in_data)` inside one command and returns what it returned.
    PF_Err Inside(const std::function<PF_Err(PF_InData*)>& body) {
        return Run([&](PF_Cmd, PF_InData* in, PF_OutData*, PF_ParamDef*[], PF_LayerDef*, void*) { return body(in); });
    }

    std::unique_ptr<Host> host_;
};

}  // namespace korvane::hostlib_test
