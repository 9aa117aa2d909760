// Shared fixture of the render tests: hosts around the linked effect, a private log folder
// (TMPDIR), error lines read back from the log, test images, and the balance checks that every
// render must pass.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "EntrySupport.h"
#include "KRVN.h"
#include "KRVN_Errors.h"
#include "KRVN_Params.h"
#include "korvane/host/Host.h"
#include "params/ParamTable.h"

namespace korvane::render_test {

namespace fs = std::filesystem;
using host::Color;
using host::Host;
using host::Personality;
using host::World;
namespace P = korvane::params;

// One "ERROR [file:line:function] :: message" line of the log, without its time stamp and line.
struct ErrorRecord {
    std::string file;
    std::string function;
    std::string message;
    friend bool operator==(const ErrorRecord&, const ErrorRecord&) = default;
};

inline std::ostream& operator<<(std::ostream& out, const ErrorRecord& r) {
    return out << "[" << r.file << ":" << r.function << "] " << r.message;
}

inline ErrorRecord Err(std::string file, std::string function, std::string message) {
    return {std::move(file), std::move(function), std::move(message)};
}

// Function labels of the universal render's steps.
inline const std::string kCreate = "UniversalRender::<lambda_5>::operator ()";
inline const std::string kCopy = "UniversalRender::<lambda_7>::operator ()";
inline const std::string kSortStep = "UniversalRender::<lambda_8>::operator ()";
inline const std::string kTriggerStep = "UniversalRender::<lambda_9>::operator ()";
inline const std::string kMaskStep = "UniversalRender::<lambda_10>::operator ()";
inline const std::string kFillRecords = "UniversalRender::<lambda_11>::operator ()";
inline const std::string kFillWorld = "UniversalRender::<lambda_12>::operator ()";

// The two lines the sorting stage adds for a code carried to it (other hosts than Premiere Pro).
inline std::vector<ErrorRecord> SortingStageLines(PF_Err err) {
    return {Err("UniversalRender", "UniversalRender", "Iterate Suite Error " + ErrorText(err)),
            Err("UniversalRender", "UniversalRender", "Iterator encountered an error: " + ErrorText(err))};
}

// The line EffectMain adds for a command that fails with anything but a cancel.
inline std::vector<ErrorRecord> EntryLine(const std::string& command, PF_Err err) {
    if (err == PF_Err_NONE || err == PF_Interrupt_CANCEL) return {};
    return {Err("KRVN", "EffectMain", command + ". Code: " + ErrorText(err))};
}

template <typename... Lists>
std::vector<ErrorRecord> Concat(std::vector<ErrorRecord> first, const Lists&... rest) {
    (first.insert(first.end(), rest.begin(), rest.end()), ...);
    return first;
}

// A photo-like picture: smooth gradients, a few soft discs and fine grain, every channel in use.
World PhotoLike(A_long width, A_long height, int depth = 8, uint32_t seed = 1,
                host::ChannelOrder order = host::ChannelOrder::ARGB);

// Twelve pixels of w given channels a round trip through records changes: 16-bit reds above full
// intensity, and at 32 bits a green of NaN, infinity, below 0 or above 1.
void PlantOddChannels(World& w, int depth, std::mt19937& g);

// Allocation failure on demand: once armed, the next allocation through operator new on a thread
// that is neither the arming one nor excused throws std::bad_alloc, once.
void FailNextAllocationElsewhere();
// Disarms a failure still pending; true when there was one.
bool DisarmAllocationFailure();
// This thread's allocations never take the armed failure (a host's own threads around the items).
void ExcuseThisThreadFromAllocationFailure();

// A world of one colour.
World Solid(A_long width, A_long height, const Color& c, int depth = 8,
            host::ChannelOrder order = host::ChannelOrder::ARGB);

class RenderTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A host around the linked effect that has run global and parameter set-up.
    Host& NewHost(Personality personality = Personality::AfterEffects);

    // All log lines so far, and the error lines after the first `from` lines.
    std::vector<std::string> LogLines() const;
    size_t LogMark() const { return LogLines().size(); }
    std::vector<ErrorRecord> ErrorsSince(size_t from) const;

    // After a render: no world, handle (besides the global data), parameter, layer or path left.
    static void ExpectNothingLive(const Host& h);

    // Smart render of one frame into a fresh output of the input's size and depth.
    static World RenderAe(Host& h, const World& input, PF_Err expected = PF_Err_NONE, double time = 0.0);
    // Legacy render under the host's personality; the output copies the input's format.
    static World RenderLegacy(Host& h, const World& input, PF_Err expected = PF_Err_NONE);

    const fs::path& temp_path() const { return temp_->path(); }

    // Leak lines containing `part` are expected (a host call made to fail cannot release its thing).
    void ForgiveLeaks(std::string part) { forgiven_.push_back(std::move(part)); }

private:
    std::vector<std::string> forgiven_;
    std::unique_ptr<entry_test::TempFolder> temp_;
    std::unique_ptr<entry_test::ScopedEnv> tmpdir_;
    std::vector<std::unique_ptr<Host>> hosts_;
};

}  // namespace korvane::render_test
