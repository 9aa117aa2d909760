// Frame renders through the host: the smart pair with its extras and pre-render data, the legacy
// render under both personalities, concurrent renders on one host, and loading the real module.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "HostSupport.h"

namespace korvane::hostlib_test {
namespace {

// Inverts red through the iterate suite of the depth. Alpha, green and blue pass unchanged.
template <typename Pixel>
PF_Err InvertRed(void*, A_long, A_long, Pixel* in, Pixel* out) {
    *out = *in;
    if constexpr (sizeof(Pixel) == 4)
        out->red = static_cast<A_u_char>(255 - in->red);
    else if constexpr (sizeof(Pixel) == 8)
        out->red = static_cast<A_u_short>(32768 - in->red);
    else
        out->red = 1.0f - in->red;
    return PF_Err_NONE;
}

struct FrameRecord {
    double float_value = 0.0;  // the float parameter at the frame's time
};

// A smart-render effect: pre-render checks out the input and stores the float parameter's value in
// a handle; smart render inverts red into a scratch world and copies it to the output.
PF_Err SmartScript(PF_Cmd cmd, PF_InData* in, PF_OutData*, PF_ParamDef*[], PF_LayerDef*, void* extra) {
    auto* handles = Acquire<PF_HandleSuite2>(in, kPFHandleSuite, 2);
    PF_Err err = PF_Err_NONE;
    if (cmd == PF_Cmd_SMART_PRE_RENDER) {
        auto* pre = static_cast<PF_PreRenderExtra*>(extra);
        PF_CheckoutResult result{};
        err = pre->cb->checkout_layer(in->effect_ref, 0, 0, &pre->input->output_request, in->current_time,
                                      in->time_step, in->time_scale, &result);
        pre->output->result_rect = result.result_rect;
        pre->output->max_result_rect = result.max_result_rect;
        PF_ParamDef d{};
        err = err ? err : PF_CHECKOUT_PARAM(in, kFloat, in->current_time, in->time_step, in->time_scale, &d);
        if (!err) {
            PF_Handle h = handles->host_new_handle(sizeof(FrameRecord));
            static_cast<FrameRecord*>(handles->host_lock_handle(h))->float_value = d.u.fs_d.value;
            handles->host_unlock_handle(h);
            pre->output->pre_render_data = h;
            err = PF_CHECKIN_PARAM(in, &d);
        }
    } else if (cmd == PF_Cmd_SMART_RENDER) {
        auto* smart = static_cast<PF_SmartRenderExtra*>(extra);
        const auto* record = static_cast<FrameRecord*>(
            handles->host_lock_handle(static_cast<PF_Handle>(smart->input->pre_render_data)));
        PF_EffectWorld *input = nullptr, *output = nullptr;
        err = smart->cb->checkout_layer_pixels(in->effect_ref, 0, &input);
        err = err ? err : smart->cb->checkout_output(in->effect_ref, &output);
        auto* worlds = Acquire<PF_WorldSuite2>(in, kPFWorldSuite, 2);
        const int depth = smart->input->bitdepth;
        const PF_PixelFormat format = depth == 8    ? PF_PixelFormat_ARGB32
                                      : depth == 16 ? PF_PixelFormat_ARGB64
                                                    : PF_PixelFormat_ARGB128;
        PF_EffectWorld scratch{};
        err = err ? err : worlds->PF_NewWorld(in->effect_ref, input->width, input->height, true, format, &scratch);
        if (!err && depth == 8) {
            auto* it = Acquire<PF_Iterate8Suite1>(in, kPFIterate8Suite, 1);
            err = it->iterate(in, 0, input->height, input, nullptr, nullptr, &InvertRed<PF_Pixel8>, &scratch);
            Release(in, kPFIterate8Suite, 1);
        } else if (!err && depth == 16) {
            auto* it = Acquire<PF_iterate16Suite1>(in, kPFIterate16Suite, 1);
            err = it->iterate(in, 0, input->height, input, nullptr, nullptr, &InvertRed<PF_Pixel16>, &scratch);
            Release(in, kPFIterate16Suite, 1);
        } else if (!err) {
            auto* it = Acquire<PF_iterateFloatSuite1>(in, kPFIterateFloatSuite, 1);
            err = it->iterate(in, 0, input->height, input, nullptr, nullptr, &InvertRed<PF_PixelFloat>, &scratch);
            Release(in, kPFIterateFloatSuite, 1);
        }
        err = err ? err : PF_PROGRESS(in, 1, 2);
        err = err ? err : in->utils->copy(in->effect_ref, &scratch, output, nullptr, nullptr);
        if (!err && depth == 8) {
            static_cast<PF_Pixel8*>(output->data)->green = static_cast<A_u_char>(record->float_value);
        }
        if (scratch.data) worlds->PF_DisposeWorld(in->effect_ref, &scratch);
        Release(in, kPFWorldSuite, 2);
    }
    Release(in, kPFHandleSuite, 2);
    return err;
}

World Expected(const World& input, int green_at_origin = -1) {
    World out = input.Clone();
    for (A_long y = 0; y < out.height(); ++y) {
        for (A_long x = 0; x < out.width(); ++x) {
            Color c = out.Get(x, y);
            c.red = 1.0f - c.red;
            out.Set(x, y, c);
        }
    }
    if (green_at_origin >= 0) out.At<PF_Pixel8>(0, 0).green = static_cast<A_u_char>(green_at_origin);
    return out;
}

class HostLibRender : public HostLibTest {};

TEST_F(HostLibRender, SmartRenderRunsBothCommandsAndFreesThePreRenderData) {
    CurrentScript() = &SmartScript;
    host_->Set(kFloat, 42.0);
    for (int depth : {8, 16, 32}) {
        World input(13, 7, depth), output(13, 7, depth);
        input.FillRandom(static_cast<uint32_t>(depth));
        host::SmartRenderReport report;
        ASSERT_EQ(host_->RenderSmart(0.0, depth, input, output, &report), PF_Err_NONE) << depth;
        EXPECT_TRUE(report.rendered);
        EXPECT_TRUE(report.pre_render_data_disposed);
        EXPECT_EQ(report.layer_checkouts, 1);
        EXPECT_EQ(report.layer_pixel_checkouts, 1);
        EXPECT_EQ(report.output_checkouts, 1);
        EXPECT_EQ(report.pre_render_output.result_rect.right, 13);
        EXPECT_EQ(report.pre_render_output.max_result_rect.bottom, 7);
        const World expected = depth == 8 ? Expected(input, 42) : Expected(input);
        EXPECT_LE(output.MaxDifference(expected), depth == 32 ? 1e-6 : 0.0) << depth;
        EXPECT_TRUE(output.PaddingIntact());
    }
    EXPECT_EQ(host_->Report().open_layer_checkouts, 3) << "checked out and left to the host";
    EXPECT_TRUE(host_->Leaks().empty()) << ::testing::PrintToString(host_->Leaks());

    World input(4, 4, 8), output(4, 4, 16);
    EXPECT_THROW(host_->RenderSmart(0.0, 8, input, output), host::HostError);
}

TEST_F(HostLibRender, PreRenderFailureSkipsTheRenderAndRequestRectIsHonoured) {
    CurrentScript() = &SmartScript;
    World input(10, 10, 8), output(10, 10, 8);
    host_->SetPreRenderRequest(PF_LRect{2, 2, 5, 20});
    host::SmartRenderReport report;
    ASSERT_EQ(host_->RenderSmart(0.0, 8, input, output, &report), PF_Err_NONE);
    EXPECT_EQ(report.pre_render_output.result_rect.left, 2);
    EXPECT_EQ(report.pre_render_output.result_rect.bottom, 10) << "clipped to the layer";

    host_->FailCall("checkout_layer", 1, PF_Err_OUT_OF_MEMORY);
    ASSERT_EQ(host_->RenderSmart(0.0, 8, input, output, &report), PF_Err_OUT_OF_MEMORY);
    EXPECT_FALSE(report.rendered);
    EXPECT_TRUE(host_->Leaks().empty()) << ::testing::PrintToString(host_->Leaks());
}

// The input layer at other times than the render's own: checkout_param of the input (and of a layer
// parameter set to it) and the pre-render's checkouts at a step either side ask the provider, whose
// missing frames come as layers without pixels; the render's own time gives the render's input;
// without a provider every time does. Each checkout is counted in the balance, and one left open is
// reported.
TEST_F(HostLibRender, InputAtOtherTimesComesFromTheProvider) {
    // Frame f of the clip has red 10·f; frames 0..4 exist.
    const auto frame_at = [](double seconds) {
        const long f = std::lround(seconds * 24.0);
        if (f < 0 || f > 4) return World();
        World w(3, 2, 16);
        w.Fill({1.0f, static_cast<float>(f) * 10.0f / 255.0f, 0.0f, 0.0f});
        return w;
    };
    // What a checkout gave: the red of its first pixel at 8 bits, or -1 without pixels.
    const auto red = [](const PF_EffectWorld* w) {
        return w == nullptr || w->data == nullptr ? -1 : static_cast<const PF_Pixel8*>(w->data)->red;
    };
    std::vector<int> seen;
    bool leave_one_open = false;
    const Script legacy = [&](PF_Cmd cmd, PF_InData* in, PF_OutData*, PF_ParamDef*[], PF_LayerDef*, void*) -> PF_Err {
        if (cmd != PF_Cmd_RENDER) return PF_Err_NONE;
        for (const A_long index : {A_long{0}, A_long{kLayer}}) {
            for (const int k : {-1, 0, 1}) {
                PF_ParamDef d{};
                const PF_Err err = PF_CHECKOUT_PARAM(in, index, in->current_time + k * in->time_step, in->time_step,
                                                     in->time_scale, &d);
                if (err) return err;
                seen.push_back(red(&d.u.ld));
                if (!(leave_one_open && index == 0 && k == 1)) PF_CHECKIN_PARAM(in, &d);
            }
        }
        return PF_Err_NONE;
    };
    const Script smart = [&](PF_Cmd cmd, PF_InData* in, PF_OutData*, PF_ParamDef*[], PF_LayerDef*,
                             void* extra) -> PF_Err {
        if (cmd == PF_Cmd_SMART_PRE_RENDER) {
            auto* pre = static_cast<PF_PreRenderExtra*>(extra);
            for (const int k : {-1, 0, 1}) {
                PF_CheckoutResult result{};
                const PF_Err err = pre->cb->checkout_layer(in->effect_ref, 0, k + 1, &pre->input->output_request,
                                                           in->current_time + k * in->time_step, in->time_step,
                                                           in->time_scale, &result);
                if (err) return err;
            }
        } else if (cmd == PF_Cmd_SMART_RENDER) {
            auto* render = static_cast<PF_SmartRenderExtra*>(extra);
            for (const A_long id : {0, 1, 2}) {
                PF_EffectWorld* pixels = nullptr;
                if (const PF_Err err = render->cb->checkout_layer_pixels(in->effect_ref, id, &pixels)) return err;
                seen.push_back(red(pixels));
                render->cb->checkin_layer_pixels(in->effect_ref, id);
            }
        }
        return PF_Err_NONE;
    };
    World input(3, 2, 8), output(3, 2, 8);
    input.Fill({1.0f, 200.0f / 255.0f, 0.0f, 0.0f});
    host_->Set(kLayer, host::kInputLayer);
    const auto render = [&](bool smart_render, double seconds) {
        seen.clear();
        CurrentScript() = smart_render ? smart : legacy;
        host::SmartRenderReport report;
        const PF_Err err = smart_render ? host_->RenderSmart(seconds, 8, input, output, &report)
                                        : host_->RenderLegacy(seconds, input, output);
        EXPECT_EQ(err, PF_Err_NONE);
        if (smart_render) {
            EXPECT_EQ(report.layer_pixel_checkins, report.layer_pixel_checkouts);
        }
        return seen;
    };
    using Seen = std::vector<int>;
    EXPECT_EQ(render(false, 1 / 24.0), (Seen{200, 200, 200, 200, 200, 200})) << "no provider: the input";
    EXPECT_EQ(render(true, 1 / 24.0), (Seen{200, 200, 200}));
    host_->SetInputAt(frame_at);
    EXPECT_EQ(render(false, 0.0), (Seen{-1, 200, 10, -1, 200, 10})) << "before the first frame: none";
    EXPECT_EQ(render(false, 2 / 24.0), (Seen{10, 200, 30, 10, 200, 30}));
    EXPECT_EQ(render(true, 4 / 24.0), (Seen{30, 200, -1})) << "after the last frame: none";
    EXPECT_TRUE(host_->Leaks().empty()) << ::testing::PrintToString(host_->Leaks());
    EXPECT_EQ(host_->Report().open_layer_checkouts, 0);

    leave_one_open = true;
    render(false, 2 / 24.0);
    EXPECT_EQ(host_->Report().unbalanced_param_checkouts, 1);
    EXPECT_FALSE(host_->Leaks().empty());
    host_->ClearLeaks();
    leave_one_open = false;

    host_->SetInputAt([](double) -> World { throw std::runtime_error("unreadable frame"); });
    CurrentScript() = legacy;
    EXPECT_EQ(host_->RenderLegacy(0.0, input, output), PF_Err_INTERNAL_STRUCT_DAMAGED);
    CurrentScript() = smart;
    EXPECT_EQ(host_->RenderSmart(0.0, 8, input, output), PF_Err_INTERNAL_STRUCT_DAMAGED);
    EXPECT_TRUE(host_->Leaks().empty()) << ::testing::PrintToString(host_->Leaks());
}

PF_Err LegacyScript(PF_Cmd cmd, PF_InData* in, PF_OutData*, PF_ParamDef* params[], PF_LayerDef* output, void*) {
    if (cmd != PF_Cmd_RENDER) return PF_Err_NONE;
    if (in->appl_id == PF_APPL_ID_PREMIERE) {
        auto* formats = Acquire<PF_PixelFormatSuite1>(in, kPFPixelFormatSuite, 1);
        PrPixelFormat format = 0;
        formats->GetPixelFormat(output, &format);
        Release(in, kPFPixelFormatSuite, 1);
        output->dephault = static_cast<A_long>(format);  // reported back through the output copy's spare field
        auto* worlds = Acquire<PF_WorldSuite2>(in, kPFWorldSuite, 2);
        PF_EffectWorld scratch{};
        const PF_Err err = worlds->PF_NewWorld(in->effect_ref, 3, 3, true, format, &scratch);
        Release(in, kPFWorldSuite, 2);  // the scratch world is left to the host, as Premiere allows
        if (err) return err;
    }
    return in->utils->copy(in->effect_ref, &params[0]->u.ld, output, nullptr, nullptr);
}

TEST_F(HostLibRender, LegacyRenderCopiesUnderEitherHost) {
    CurrentScript() = &LegacyScript;
    World input(6, 5, 8), output(6, 5, 8);
    input.FillRandom(9);
    ASSERT_EQ(host_->RenderLegacy(0.0, input, output), PF_Err_NONE);
    EXPECT_TRUE(output.SamePixels(input));

    MakeHost(Personality::Premiere);
    CurrentScript() = &LegacyScript;
    for (const char* four : {"bgra", "argb", "v210", "@PQ2", "zzzz"}) {
        World in(6, 5, 8, host::ChannelOrder::BGRA), out(6, 5, 8, host::ChannelOrder::BGRA);
        in.FillRandom(4);
        out.SetPremiereFormat(host::PremiereFormat(four));
        ASSERT_EQ(host_->RenderLegacy(0.0, in, out), PF_Err_NONE) << four;
        EXPECT_TRUE(out.SamePixels(in)) << four;
    }
    EXPECT_TRUE(host_->Leaks().empty()) << ::testing::PrintToString(host_->Leaks());
    EXPECT_EQ(host_->Report().reclaimed_worlds, 5);
}

TEST_F(HostLibRender, NewWorldReadsAFormatInTheHostsOwnTerms) {
    // 0x61726762 is 'argb' to After Effects and "bgra" (bytes low to high) to Premiere.
    const auto storage_of = [this](PF_PixelFormat format, host::WorldFormat* seen) {
        return Inside([&](PF_InData* in) {
            auto* worlds = Acquire<PF_WorldSuite2>(in, kPFWorldSuite, 2);
            PF_EffectWorld w{};
            PF_Err err = worlds->PF_NewWorld(in->effect_ref, 2, 2, true, format, &w);
            if (!err) {
                *seen = host::FormatOf(w);
                err = worlds->PF_DisposeWorld(in->effect_ref, &w);
            }
            Release(in, kPFWorldSuite, 2);
            return err;
        });
    };
    host::WorldFormat f;
    ASSERT_EQ(storage_of(PF_PixelFormat_ARGB32, &f), PF_Err_NONE);
    EXPECT_EQ(f.order, host::ChannelOrder::ARGB);
    ASSERT_EQ(storage_of(PF_PixelFormat_ARGB64, &f), PF_Err_NONE);
    EXPECT_EQ(f.depth, 16);
    EXPECT_EQ(storage_of(host::PremiereFormat("zzzz"), &f), PF_Err_BAD_CALLBACK_PARAM);

    MakeHost(Personality::Premiere);
    ASSERT_EQ(storage_of(PrPixelFormat_BGRA_4444_8u, &f), PF_Err_NONE);
    EXPECT_EQ(f.order, host::ChannelOrder::BGRA);
    EXPECT_EQ(f.premiere_format, PrPixelFormat_BGRA_4444_8u);
    ASSERT_EQ(storage_of(host::PremiereFormat("BGra"), &f), PF_Err_NONE);
    EXPECT_EQ(f.depth, 32);
    ASSERT_EQ(storage_of(host::PremiereFormat("zzzz"), &f), PF_Err_NONE);
    EXPECT_EQ(f.premiere_format, host::PremiereFormat("zzzz"));
    EXPECT_TRUE(host_->Leaks().empty()) << ::testing::PrintToString(host_->Leaks());
}

// Disposed worlds lend their memory to the next world of the same size: it must come back
// cleared, its padding refilled, while a world left live is still reported and its memory too is
// handed out clean.
TEST_F(HostLibRender, ReusedWorldMemoryComesBackCleared) {
    const auto cleared = [](const PF_EffectWorld& w) {
        const auto* bytes = static_cast<const unsigned char*>(w.data);
        const size_t packed = static_cast<size_t>(w.width) * 16;
        for (A_long y = 0; y < w.height; ++y) {
            const auto* row = bytes + static_cast<size_t>(w.rowbytes) * y;
            for (size_t i = 0; i < static_cast<size_t>(w.rowbytes); ++i) {
                if (row[i] != (i < packed ? 0x00 : 0xA5)) return false;
            }
        }
        return true;
    };
    // Makes a 32-bit 37x5 world, checks it, scribbles over every byte and disposes of it (or not).
    const auto cycle = [&](bool dispose, const void** data) {
        return Inside([&](PF_InData* in) {
            auto* worlds = Acquire<PF_WorldSuite2>(in, kPFWorldSuite, 2);
            PF_EffectWorld w{};
            PF_Err err = worlds->PF_NewWorld(in->effect_ref, 37, 5, true, PF_PixelFormat_ARGB128, &w);
            if (!err) {
                *data = w.data;
                EXPECT_TRUE(cleared(w));
                std::memset(w.data, 0x3C, static_cast<size_t>(w.rowbytes) * w.height);
                if (dispose) err = worlds->PF_DisposeWorld(in->effect_ref, &w);
            }
            Release(in, kPFWorldSuite, 2);
            return err;
        });
    };
    const void* first = nullptr;
    const void* second = nullptr;
    ASSERT_EQ(cycle(true, &first), PF_Err_NONE);
    ASSERT_EQ(cycle(false, &second), PF_Err_NONE);
    EXPECT_EQ(second, first);  // the same memory, not fresh pages
    const auto leaks = host_->Leaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_NE(leaks[0].find("37x5 at 32 bits made during"), std::string::npos) << leaks[0];
    host_->ClearLeaks();
    ASSERT_EQ(cycle(true, &second), PF_Err_NONE);
    EXPECT_TRUE(host_->Leaks().empty()) << ::testing::PrintToString(host_->Leaks());
}

TEST(HostLibConcurrency, ConcurrentSmartRendersKeepTheirOwnCalls) {
    CurrentScript() = nullptr;
    Host host(host::EntryPoints{&FakeRegister, &FakeEffectMain}, Personality::AfterEffects);
    ASSERT_EQ(host.Setup(), PF_Err_NONE);
    host.SetThreadCount(2);
    host.SetKeyframe(kFloat, 0.0, 0.0);
    host.SetKeyframe(kFloat, 10.0, 100.0);
    CurrentScript() = &SmartScript;

    constexpr int kThreads = 4, kFrames = 5;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int f = 0; f < kFrames; ++f) {
                const int frame = t * kFrames + f;
                World input(31, 17, 8), output(31, 17, 8);
                input.FillRandom(static_cast<uint32_t>(frame));
                const double time = frame * 0.25;  // float value = 10 * time
                if (host.RenderSmart(time, 8, input, output) != PF_Err_NONE ||
                    !output.SamePixels(Expected(input, static_cast<int>(10.0 * time)))) {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    CurrentScript() = nullptr;
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
    EXPECT_TRUE(host.Leaks().empty()) << ::testing::PrintToString(host.Leaks());
}

TEST(HostLibLoad, MissingFileOrSymbolIsAClearError) {
    try {
        Host::Load("/nonexistent/Effect.so", Personality::AfterEffects);
        FAIL() << "no error";
    } catch (const host::HostError& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/Effect.so"), std::string::npos) << e.what();
    }
    try {
        Host::Load("libm.so.6", Personality::AfterEffects);
        FAIL() << "no error";
    } catch (const host::HostError& e) {
        EXPECT_NE(std::string(e.what()).find("PluginDataEntryFunction"), std::string::npos) << e.what();
    }
    EXPECT_THROW(Host(host::EntryPoints{}, Personality::AfterEffects), host::HostError);
}

TEST(HostLibLoad, TheEffectModuleLoadsAndRegisters) {
    if (!std::filesystem::exists(KORVANE_EFFECT_PATH)) GTEST_SKIP() << "no module at " << KORVANE_EFFECT_PATH;
    for (Personality p : {Personality::AfterEffects, Personality::Premiere}) {
        auto host = Host::Load(KORVANE_EFFECT_PATH, p);
        const auto& reg = host->registration();
        EXPECT_EQ(reg.result, PF_Err_NONE);
        EXPECT_EQ(reg.calls, 1);
        EXPECT_EQ(reg.name, "Korvane ");
        EXPECT_EQ(reg.match_name, "ZV Korvane");
        EXPECT_EQ(reg.category, "Tessary");
        EXPECT_EQ(reg.entry_point_name, "EffectMain");
        EXPECT_EQ(reg.kind, PF_KIND_EFFECT);
        EXPECT_EQ(reg.api_version_major, 13);
        EXPECT_EQ(reg.api_version_minor, 28);
        EXPECT_EQ(reg.reserved_info, 8);
    }
}

}  // namespace
}  // namespace korvane::hostlib_test
