#include "RenderSupport.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>

namespace korvane::render_test {
namespace {

std::atomic<bool> g_fail_allocation{false};
thread_local bool t_allocation_excused = false;

void* Allocate(std::size_t size) {
    if (g_fail_allocation.load(std::memory_order_relaxed) && !t_allocation_excused &&
        g_fail_allocation.exchange(false)) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void FailNextAllocationElsewhere() {
    t_allocation_excused = true;
    g_fail_allocation.store(true);
}

bool DisarmAllocationFailure() { return g_fail_allocation.exchange(false); }

void ExcuseThisThreadFromAllocationFailure() { t_allocation_excused = true; }

void PlantOddChannels(World& w, int depth, std::mt19937& g) {
    const auto pick = [&](int low, int high) {
        return low + static_cast<int>(g() % static_cast<uint32_t>(high - low + 1));
    };
    for (int i = 0; i < 12; ++i) {
        const A_long x = pick(0, w.width() - 1);
        const A_long y = pick(0, w.height() - 1);
        if (depth == 16) w.At<PF_Pixel16>(x, y).red = static_cast<A_u_short>(pick(32769, 65535));
        if (depth == 32) {
            const float odd[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                 -0.75f, 3.5f};
            w.At<PF_PixelFloat>(x, y).green = odd[pick(0, 3)];
        }
    }
}

World PhotoLike(A_long width, A_long height, int depth, uint32_t seed, host::ChannelOrder order) {
    World w(width, height, depth, order);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> grain(-0.04f, 0.04f);
    std::uniform_real_distribution<float> where(0.0f, 1.0f);
    struct Disc {
        float x, y, r, red, green, blue;
    };
    std::vector<Disc> discs;
    for (int i = 0; i < 6; ++i) {
        discs.push_back({where(rng) * width, where(rng) * height, (0.1f + 0.3f * where(rng)) * std::max(width, height),
                         where(rng), where(rng), where(rng)});
    }
    for (A_long y = 0; y < height; ++y) {
        for (A_long x = 0; x < width; ++x) {
            const float u = width > 1 ? static_cast<float>(x) / (width - 1) : 0.0f;
            const float v = height > 1 ? static_cast<float>(y) / (height - 1) : 0.0f;
            float r = 0.2f + 0.6f * u, g = 0.3f + 0.5f * v, b = 0.8f - 0.5f * u * v;
            for (const Disc& d : discs) {
                const float dist = std::hypot(x - d.x, y - d.y) / d.r;
                const float t = std::max(0.0f, 1.0f - dist * dist) * 0.7f;
                r += (d.red - r) * t;
                g += (d.green - g) * t;
                b += (d.blue - b) * t;
            }
            auto c = [&](float value) { return std::clamp(value + grain(rng), 0.0f, 1.0f); };
            w.Set(x, y, Color{1.0f, c(r), c(g), c(b)});
        }
    }
    return w;
}

World Solid(A_long width, A_long height, const Color& c, int depth, host::ChannelOrder order) {
    World w(width, height, depth, order);
    w.Fill(c);
    return w;
}

void RenderTest::SetUp() {
    temp_ = std::make_unique<entry_test::TempFolder>("korvane-render");
    tmpdir_ = std::make_unique<entry_test::ScopedEnv>("TMPDIR", (temp_->path() / "").string());
}

void RenderTest::TearDown() {
    for (auto& h : hosts_) {
        h->ClearFaults();
        h->ResetCancel();
        h->SetInDataHook(nullptr);
        h->GlobalSetdown();
        std::vector<std::string> leaks;
        for (const auto& line : h->Leaks()) {
            const bool forgiven = std::any_of(forgiven_.begin(), forgiven_.end(), [&](const std::string& part) {
                return line.find(part) != std::string::npos;
            });
            if (!forgiven) leaks.push_back(line);
        }
        std::string all;
        for (const auto& line : leaks) all += line + "\n";
        EXPECT_TRUE(leaks.empty()) << all;
    }
    hosts_.clear();
    tmpdir_.reset();
    temp_.reset();
}

Host& RenderTest::NewHost(Personality personality) {
    hosts_.push_back(std::make_unique<Host>(host::EntryPoints{&PluginDataEntryFunction, &EffectMain}, personality));
    Host& h = *hosts_.back();
    EXPECT_EQ(h.Setup(), PF_Err_NONE);
    return h;
}

namespace {

KRVN_Look g_look;

// EffectMain, with the look put into the parameter record each smart pre-render hands over.
PF_Err LookEffectMain(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[], PF_LayerDef* output,
                      void* extra) {
    const PF_Err err = EffectMain(cmd, in_data, out_data, params, output, extra);
    if (err != PF_Err_NONE || cmd != PF_Cmd_SMART_PRE_RENDER) return err;
    auto data = static_cast<PF_Handle>(static_cast<PF_PreRenderExtra*>(extra)->output->pre_render_data);
    const void* suite = nullptr;
    if (data == nullptr ||
        in_data->pica_basicP->AcquireSuite(kPFHandleSuite, kPFHandleSuiteVersion2, &suite) != kSPNoError) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    const auto* handles = static_cast<const PF_HandleSuite2*>(suite);
    static_cast<KRVN_Params*>(handles->host_lock_handle(data))->look = g_look;
    handles->host_unlock_handle(data);
    in_data->pica_basicP->ReleaseSuite(kPFHandleSuite, kPFHandleSuiteVersion2);
    return PF_Err_NONE;
}

}  // namespace

Host& RenderTest::NewLookHost(const KRVN_Look& look) {
    g_look = look;
    hosts_.push_back(std::make_unique<Host>(host::EntryPoints{&PluginDataEntryFunction, &LookEffectMain},
                                            Personality::AfterEffects));
    Host& h = *hosts_.back();
    EXPECT_EQ(h.Setup(), PF_Err_NONE);
    return h;
}

std::vector<std::string> RenderTest::LogLines() const {
    return entry_test::SplitLogLines(entry_test::ReadFile(temp_->path() / "com.tsy.Korvane.log"));
}

// "<date> <time> [KORVN] ERROR [file:line:function] :: message" into its parts.
std::optional<ErrorRecord> ParseErrorLine(const std::string& line) {
    static const std::string kStart = "[KORVN] ERROR [";
    static const std::string kSeparator = "] :: ";
    const size_t start = line.find(kStart);
    if (start != 20) return std::nullopt;  // after "YYYY-MM-DD HH:MM:SS "
    const size_t file_begin = start + kStart.size();
    const size_t file_end = line.find(':', file_begin);
    if (file_end == std::string::npos) return std::nullopt;
    size_t number_end = file_end + 1;
    while (number_end < line.size() && std::isdigit(static_cast<unsigned char>(line[number_end]))) ++number_end;
    if (number_end == file_end + 1 || number_end >= line.size() || line[number_end] != ':') return std::nullopt;
    const size_t function_end = line.find(kSeparator, number_end + 1);
    if (function_end == std::string::npos) return std::nullopt;
    return ErrorRecord{line.substr(file_begin, file_end - file_begin),
                       line.substr(number_end + 1, function_end - number_end - 1),
                       line.substr(function_end + kSeparator.size())};
}

std::vector<ErrorRecord> RenderTest::ErrorsSince(size_t from) const {
    std::vector<ErrorRecord> records;
    const auto lines = LogLines();
    for (size_t i = from; i < lines.size(); ++i) {
        if (auto record = ParseErrorLine(lines[i])) {
            records.push_back(std::move(*record));
        } else if (lines[i].find("ERROR") != std::string::npos) {
            records.push_back({"?", "?", lines[i]});
        }
    }
    return records;
}

void RenderTest::ExpectNothingLive(const Host& h) {
    const host::LeakReport r = h.Report();
    EXPECT_EQ(r.live_worlds, 0);
    EXPECT_EQ(r.live_handles, h.global_data() != nullptr ? 1 : 0);
    EXPECT_EQ(r.unbalanced_param_checkouts, 0);
    EXPECT_EQ(r.open_layer_checkouts, 0);
    EXPECT_EQ(r.open_paths, 0);
    EXPECT_EQ(r.live_mask_refs, 0);
    EXPECT_EQ(r.unreleased_suites, 0);
}

World RenderTest::RenderAe(Host& h, const World& input, PF_Err expected, double time) {
    World output(input.width(), input.height(), input.depth());
    EXPECT_EQ(h.RenderSmart(time, input.depth(), input, output), expected);
    ExpectNothingLive(h);
    return output;
}

World RenderTest::RenderLegacy(Host& h, const World& input, PF_Err expected) {
    World output(input.width(), input.height(), input.format());
    EXPECT_EQ(h.RenderLegacy(0.0, input, output), expected);
    ExpectNothingLive(h);
    return output;
}

}  // namespace korvane::render_test

// The program's allocation functions, every form the sanitizers replace, so that the armed failure
// reaches the effect's own allocations and each block is freed as it was made.
void* operator new(std::size_t size) { return korvane::render_test::Allocate(size); }
void* operator new[](std::size_t size) { return korvane::render_test::Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return korvane::render_test::Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
