// The core's settings from the frame's parameters, and the checks that the core numbers the popups'
// entries as the parameter table does.
#include "sources/CoreSettings.h"

#include "params/ParamTable.h"

namespace korvane::sources {
namespace {

template <typename Choice>
constexpr bool Same(int32_t core, Choice choice) {
    return core == static_cast<int32_t>(choice);
}

using params::EffectChoice;
using params::ModeChoice;
using params::SortKeyChoice;
using params::TriggerChoice;

static_assert(Same(utils::kTriggerRed, TriggerChoice::Red) && Same(utils::kTriggerGreen, TriggerChoice::Green) &&
              Same(utils::kTriggerBlue, TriggerChoice::Blue) && Same(utils::kTriggerAlpha, TriggerChoice::Alpha) &&
              Same(utils::kTriggerMin, TriggerChoice::Min) && Same(utils::kTriggerMax, TriggerChoice::Max) &&
              Same(utils::kTriggerLuminance, TriggerChoice::Luminance) &&
              Same(utils::kTriggerSaturation, TriggerChoice::Saturation) &&
              Same(utils::kTriggerHue, TriggerChoice::Hue));
static_assert(Same(utils::kSortRed, SortKeyChoice::Red) && Same(utils::kSortGreen, SortKeyChoice::Green) &&
              Same(utils::kSortBlue, SortKeyChoice::Blue) && Same(utils::kSortAlpha, SortKeyChoice::Alpha) &&
              Same(utils::kSortMin, SortKeyChoice::Min) && Same(utils::kSortMax, SortKeyChoice::Max) &&
              Same(utils::kSortXor, SortKeyChoice::Xor) && Same(utils::kSortLuminance, SortKeyChoice::Luminance) &&
              Same(utils::kSortSaturation, SortKeyChoice::Saturation) && Same(utils::kSortHue, SortKeyChoice::Hue));
static_assert(Same(utils::kModeSort, ModeChoice::Sort) && Same(utils::kModeGradient, ModeChoice::Gradient) &&
              Same(utils::kModeStretchFirst, ModeChoice::StretchFirst) &&
              Same(utils::kModeStretchLast, ModeChoice::StretchLast) &&
              Same(utils::kModeSeparator, ModeChoice::Separator) && Same(utils::kModeMask, ModeChoice::Mask) &&
              Same(utils::kModeMap, ModeChoice::Map));
static_assert(Same(utils::kThresholdInside, EffectChoice::Inside) &&
              Same(utils::kThresholdOutside, EffectChoice::Outside));

}  // namespace

utils::SortSettings CopySettings(const KRVN_Params& p) {
    utils::SortSettings s;
    s.thresholdMode = p.effect;
    s.triggerKey = p.trigger;
    s.sortKey = p.sort_key;
    s.outputMode = p.mode;
    s.stretchPriority = p.priority;
    s.angle = p.angle;
    s.thresholdLow = p.threshold_low;
    s.thresholdHigh = p.threshold_high;
    s.featherStart = p.feather_start;
    s.featherEnd = p.feather_end;
    s.resolution = p.resolution;
    s.growth = p.animate_growth;
    s.offset = p.offset;
    s.randomOffset = p.random_offset;
    s.loop = p.loop;
    s.rangeLow = p.const_zero;
    s.rangeHigh = p.const_one;
    s.pop = p.pop;
    s.blockHeight = p.block_height;
    s.blockWidth = p.block_width;
    s.stretchFactor = p.stretch_factor;
    s.noiseSize = p.noise_size;
    s.noiseAmount = p.noise_amount;
    s.noiseComplexity = p.noise_complexity;
    s.noiseSeed = p.noise_seed;
    s.randomSeed = p.random_seed;
    s.blur = p.blur;
    s.pixelScale = p.pixel_scale;
    s.reverse = p.reverse;
    s.fillLineEnd = p.fill;
    s.preserveAlpha = p.preserve_alpha;
    s.maskGating = p.has_masks;
    s.clampTrigger = true;
    s.affectBackground = p.affect_background;
    s.mirror = p.mirror;
    s.stretch = p.stretch;
    return s;
}

}  // namespace korvane::sources
