// The core's settings from the frame's parameters, and the checks that the core numbers the popups'
// entries as the parameter table does.
#include "sources/CoreSettings.h"

#include "params/LookTable.h"
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
static_assert(Same(utils::kIntervalThreshold, params::IntervalChoice::Threshold) &&
              Same(utils::kIntervalEdges, params::IntervalChoice::Edges) &&
              Same(utils::kIntervalRandom, params::IntervalChoice::Random) &&
              Same(utils::kIntervalWaves, params::IntervalChoice::Waves));
static_assert(Same(utils::kPathLines, params::PathChoice::Lines) &&
              Same(utils::kPathCircles, params::PathChoice::Circles) &&
              Same(utils::kPathRays, params::PathChoice::Rays) &&
              Same(utils::kPathSpiral, params::PathChoice::Spiral) &&
              Same(utils::kPathHilbert, params::PathChoice::Hilbert));

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
    const KRVN_Look& look = p.look;
    s.intervalMode = look.interval;
    s.edgeLevel = look.edge_level;
    s.edgeScale = look.edge_scale;
    s.spanLength = look.span_length;
    s.spanSeed = look.span_seed;
    s.waveLength = look.wave_length;
    s.waveAmplitude = look.wave_amplitude;
    s.wavePhase = look.wave_phase;
    s.waveDrift = look.wave_drift;
    s.autoThreshold = look.auto_threshold;
    s.autoLow = look.auto_low;
    s.autoHigh = look.auto_high;
    s.pathShape = look.path;
    s.centreX = look.centre_x;
    s.centreY = look.centre_y;
    return s;
}

}  // namespace korvane::sources
