// The effect's 48 parameters in one table: registration, GetParams, the host, the CLI and the
// bridges all read it. Names are kept as UTF-8 text for people and as the GBK bytes the host stores.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "korvane/sdk/Effect.h"

namespace korvane::params {

// Positions in the host's parameter array; 0 is the input layer.
enum ParamIndex : int {
    KRVN_INPUT = 0,
    KRVN_HELP,
    KRVN_THRESHOLD_LOW,
    KRVN_THRESHOLD_HIGH,
    KRVN_EFFECT,
    KRVN_ANGLE,
    KRVN_MASK,
    KRVN_USE_ALL_MASKS,
    KRVN_STRETCH_GROUP_START,
    KRVN_STRETCH,
    KRVN_STRETCH_FACTOR,
    KRVN_PRIORITY,
    KRVN_STRETCH_GROUP_END,
    KRVN_TRIGGER_GROUP_START,
    KRVN_TRIGGER,
    KRVN_TRIGGER_SOURCE,
    KRVN_SORT_KEY,
    KRVN_SORT_SOURCE,
    KRVN_FILL,
    KRVN_TRIGGER_GROUP_END,
    KRVN_APPEARANCE_GROUP_START,
    KRVN_POP,
    KRVN_BLUR,
    KRVN_BLOCK_WIDTH,
    KRVN_BLOCK_HEIGHT,
    KRVN_REVERSE,
    KRVN_MIRROR,
    KRVN_RESOLUTION,
    KRVN_AFFECT_BACKGROUND,
    KRVN_APPEARANCE_GROUP_END,
    KRVN_STREAKS_GROUP_START,
    KRVN_LOOP,
    KRVN_ANIMATE_GROWTH,
    KRVN_OFFSET,
    KRVN_RANDOM_OFFSET,
    KRVN_RANDOM_SEED,
    KRVN_FEATHER_START,
    KRVN_FEATHER_END,
    KRVN_STREAKS_GROUP_END,
    KRVN_NOISE_GROUP_START,
    KRVN_NOISE_AMOUNT,
    KRVN_NOISE_SIZE,
    KRVN_NOISE_COMPLEXITY,
    KRVN_NOISE_SEED,
    KRVN_NOISE_GROUP_END,
    KRVN_OUTPUT_GROUP_START,
    KRVN_MODE,
    KRVN_PRESERVE_ALPHA,
    KRVN_OUTPUT_GROUP_END,
    KRVN_NUM_PARAMS  // 49: the input layer and the 48 registered parameters
};

// Popup values, 1-based as the host reports them.
enum class EffectChoice : int { Inside = 1, Outside };
enum class PriorityChoice : int { Sort = 1, Source };
enum class TriggerChoice : int { Red = 1, Green, Blue, Alpha, Min, Max, Luminance, Saturation, Hue };
enum class SortKeyChoice : int { Red = 1, Green, Blue, Alpha, Min, Max, Xor, Luminance, Saturation, Hue };
enum class ModeChoice : int { Sort = 1, Gradient, StretchFirst, StretchLast, Separator, Mask, Map };

// One registered parameter.
//  - range: valid range, equal to the slider range. Float sliders in the units the host shows
//    (percent sliders 0..100); angles in degrees (the span of 16.16 fixed point); popups 1..items;
//    checkboxes 0..1. Unused (0, 0) for buttons, paths, layers and groups.
//  - dephault: the default in the same units; popups 1-based, checkboxes 0/1.
//  - num_choices: what a popup declares (one more than its items); items: '|'-joined.
//  - label: checkbox or button label. cli_values: popup value names, '|'-joined, position = value,
//    an empty name at a separator.
//  - ae_only: exists in After Effects only; Premiere Pro gets the placeholder row instead.
struct ParamSpec {
    int index;
    A_long id;
    PF_ParamType type;
    const char* name;
    const char* name_gbk;
    const char* cli_name;
    double valid_min;
    double valid_max;
    double dephault;
    A_short precision;
    A_short display_flags;
    PF_ParamFlags flags;
    PF_ParamUIFlags ui_flags;
    A_short num_choices;
    const char* items;
    const char* items_gbk;
    const char* label;
    const char* label_gbk;
    const char* cli_values;
    bool ae_only;
    // The row needs frames other than the one it renders, which only a front that can hand the host
    // other frames (the CLI) has: the frei0r filter and the pages leave it out.
    bool other_frames = false;
};

// Every float slider shares these.
inline constexpr PF_FpShort kCurveTolerance = 0.05f;

// The rows keep their three-line layout (identity, range and flags, popup text).
// clang-format off
// Rows for indices 1..48 in registration order, with the After Effects definitions at 6 and 7.
inline constexpr std::array<ParamSpec, KRVN_NUM_PARAMS - 1> kParams{{
    {1, 24, PF_Param_BUTTON, "如何使用", "\xC8\xE7\xBA\xCE\xCA\xB9\xD3\xC3", "help",
     0.0, 0.0, 0.0, 0, 0, PF_ParamFlag_SUPERVISE, 0,
     0, "", "", "帮助", "\xB0\xEF\xD6\xFA", "", false},
    {2, 2, PF_Param_FLOAT_SLIDER, "阈值 <", "\xE3\xD0\xD6\xB5 <", "threshold_low",
     0.0, 1.0, 0.0, 3, 0, 0, 0,
     0, "", "", "", "", "", false},
    {3, 59, PF_Param_FLOAT_SLIDER, "阈值 >", "\xE3\xD0\xD6\xB5 >", "threshold_high",
     0.0, 1.0, 0.5, 3, 0, 0, 0,
     0, "", "", "", "", "", false},
    {4, 3, PF_Param_POPUP, "效果", "\xD0\xA7\xB9\xFB", "effect",
     1.0, 2.0, 1.0, 0, 0, 0, 0,
     3, "阈值内|阈值外", "\xE3\xD0\xD6\xB5\xC4\xDA|\xE3\xD0\xD6\xB5\xCD\xE2", "", "", "inside|outside", false},
    {5, 1, PF_Param_ANGLE, "角度", "\xBD\xC7\xB6\xC8", "angle",
     -32768.0, 32767.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {6, 46, PF_Param_PATH, "限制", "\xCF\xDE\xD6\xC6", "mask",
     0.0, 0.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", true},
    {7, 68, PF_Param_CHECKBOX, "使用所有遮罩", "\xCA\xB9\xD3\xC3\xCB\xF9\xD3\xD0\xD5\xDA\xD5\xD6", "use_all_masks",
     0.0, 1.0, 0.0, 0, 0, PF_ParamFlag_CANNOT_TIME_VARY, 0,
     0, "", "", "", "", "", true},
    {8, 66, PF_Param_GROUP_START, "拉伸", "\xC0\xAD\xC9\xEC", "",
     0.0, 0.0, 0.0, 0, 0, PF_ParamFlag_START_COLLAPSED, 0,
     0, "", "", "", "", "", false},
    {9, 63, PF_Param_CHECKBOX, "拉伸", "\xC0\xAD\xC9\xEC", "stretch",
     0.0, 1.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {10, 64, PF_Param_FLOAT_SLIDER, "因素", "\xD2\xF2\xCB\xD8", "stretch_factor",
     0.0, 10.0, 2.0, 3, 0, 0, 0,
     0, "", "", "", "", "", false},
    {11, 65, PF_Param_POPUP, "优先", "\xD3\xC5\xCF\xC8", "priority",
     1.0, 2.0, 2.0, 0, 0, 0, 0,
     3, "排序|来源", "\xC5\xC5\xD0\xF2|\xC0\xB4\xD4\xB4", "", "", "sort|source", false},
    {12, 67, PF_Param_GROUP_END, "", "", "",
     0.0, 0.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {13, 25, PF_Param_GROUP_START, "触发器 & 比较器", "\xB4\xA5\xB7\xA2\xC6\xF7 & \xB1\xC8\xBD\xCF\xC6\xF7", "",
     0.0, 0.0, 0.0, 0, 0, PF_ParamFlag_START_COLLAPSED, 0,
     0, "", "", "", "", "", false},
    {14, 3, PF_Param_POPUP, "触发", "\xB4\xA5\xB7\xA2", "trigger",
     1.0, 9.0, 7.0, 0, 0, 0, 0,
     10, "红色通道|绿色通道|蓝色通道|Alpha通道|最小|最大|亮度|饱和度|色调", "\xBA\xEC\xC9\xAB\xCD\xA8\xB5\xC0|\xC2\xCC\xC9\xAB\xCD\xA8\xB5\xC0|\xC0\xB6\xC9\xAB\xCD\xA8\xB5\xC0|Alpha\xCD\xA8\xB5\xC0|\xD7\xEE\xD0\xA1|\xD7\xEE\xB4\xF3|\xC1\xC1\xB6\xC8|\xB1\xA5\xBA\xCD\xB6\xC8|\xC9\xAB\xB5\xF7", "", "", "red|green|blue|alpha|min|max|luminance|saturation|hue", false},
    {15, 61, PF_Param_LAYER, "触发器来源", "\xB4\xA5\xB7\xA2\xC6\xF7\xC0\xB4\xD4\xB4", "trigger_source",
     0.0, 0.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {16, 8, PF_Param_POPUP, "排序", "\xC5\xC5\xD0\xF2", "sort_key",
     1.0, 10.0, 8.0, 0, 0, 0, 0,
     11, "红色通道|绿色通道|蓝色通道|Alpha通道|最小|最大|XOR|亮度|饱和度|色调", "\xBA\xEC\xC9\xAB\xCD\xA8\xB5\xC0|\xC2\xCC\xC9\xAB\xCD\xA8\xB5\xC0|\xC0\xB6\xC9\xAB\xCD\xA8\xB5\xC0|Alpha\xCD\xA8\xB5\xC0|\xD7\xEE\xD0\xA1|\xD7\xEE\xB4\xF3|XOR|\xC1\xC1\xB6\xC8|\xB1\xA5\xBA\xCD\xB6\xC8|\xC9\xAB\xB5\xF7", "", "", "red|green|blue|alpha|min|max|xor|luminance|saturation|hue", false},
    {17, 62, PF_Param_LAYER, "排序来源", "\xC5\xC5\xD0\xF2\xC0\xB4\xD4\xB4", "sort_source",
     0.0, 0.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {18, 43, PF_Param_CHECKBOX, "填充", "\xCC\xEE\xB3\xE4", "fill",
     0.0, 1.0, 1.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {19, 26, PF_Param_GROUP_END, "", "", "",
     0.0, 0.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {20, 37, PF_Param_GROUP_START, "外观", "\xCD\xE2\xB9\xDB", "",
     0.0, 0.0, 0.0, 0, 0, PF_ParamFlag_START_COLLAPSED, 0,
     0, "", "", "", "", "", false},
    {21, 42, PF_Param_FLOAT_SLIDER, "Pop", "Pop", "pop",
     0.0, 100.0, 0.0, 0, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {22, 28, PF_Param_FLOAT_SLIDER, "模糊", "\xC4\xA3\xBA\xFD", "blur",
     0.0, 100.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {23, 49, PF_Param_FLOAT_SLIDER, "块宽度", "\xBF\xE9\xBF\xED\xB6\xC8", "block_width",
     0.0, 100.0, 100.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {24, 48, PF_Param_FLOAT_SLIDER, "块高度", "\xBF\xE9\xB8\xDF\xB6\xC8", "block_height",
     0.0, 100.0, 0.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {25, 7, PF_Param_CHECKBOX, "反转", "\xB7\xB4\xD7\xAA", "reverse",
     0.0, 1.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {26, 60, PF_Param_CHECKBOX, "镜像", "\xBE\xB5\xCF\xF1", "mirror",
     0.0, 1.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {27, 19, PF_Param_FLOAT_SLIDER, "分辨率", "\xB7\xD6\xB1\xE6\xC2\xCA", "resolution",
     0.0, 100.0, 100.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {28, 41, PF_Param_CHECKBOX, "", "", "affect_background",
     0.0, 1.0, 1.0, 0, 0, PF_ParamFlag_CANNOT_TIME_VARY, 0,
     0, "", "", "影响背景", "\xD3\xB0\xCF\xEC\xB1\xB3\xBE\xB0", "", false},
    {29, 38, PF_Param_GROUP_END, "", "", "",
     0.0, 0.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {30, 39, PF_Param_GROUP_START, "条纹", "\xCC\xF5\xCE\xC6", "",
     0.0, 0.0, 0.0, 0, 0, PF_ParamFlag_START_COLLAPSED, 0,
     0, "", "", "", "", "", false},
    {31, 29, PF_Param_ANGLE, "循环", "\xD1\xAD\xBB\xB7", "loop",
     -32768.0, 32767.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {32, 50, PF_Param_FLOAT_SLIDER, "动画成长", "\xB6\xAF\xBB\xAD\xB3\xC9\xB3\xA4", "animate_growth",
     0.0, 200.0, 100.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {33, 20, PF_Param_FLOAT_SLIDER, "偏移", "\xC6\xAB\xD2\xC6", "offset",
     0.0, 100.0, 0.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {34, 21, PF_Param_FLOAT_SLIDER, "随机偏移", "\xCB\xE6\xBB\xFA\xC6\xAB\xD2\xC6", "random_offset",
     0.0, 100.0, 0.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {35, 22, PF_Param_SLIDER, "随机种子", "\xCB\xE6\xBB\xFA\xD6\xD6\xD7\xD3", "random_seed",
     0.0, 65536.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {36, 17, PF_Param_FLOAT_SLIDER, "羽化开始", "\xD3\xF0\xBB\xAF\xBF\xAA\xCA\xBC", "feather_start",
     0.0, 100.0, 0.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {37, 18, PF_Param_FLOAT_SLIDER, "羽化结束", "\xD3\xF0\xBB\xAF\xBD\xE1\xCA\xF8", "feather_end",
     0.0, 100.0, 0.0, 1, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {38, 40, PF_Param_GROUP_END, "", "", "",
     0.0, 0.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {39, 53, PF_Param_GROUP_START, "噪波", "\xD4\xEB\xB2\xA8", "",
     0.0, 0.0, 0.0, 0, 0, PF_ParamFlag_START_COLLAPSED, 0,
     0, "", "", "", "", "", false},
    {40, 55, PF_Param_FLOAT_SLIDER, "数量", "\xCA\xFD\xC1\xBF", "noise_amount",
     0.0, 100.0, 0.0, 2, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {41, 51, PF_Param_FLOAT_SLIDER, "大小", "\xB4\xF3\xD0\xA1", "noise_size",
     0.0, 100.0, 10.0, 2, PF_ValueDisplayFlag_PERCENT, 0, 0,
     0, "", "", "", "", "", false},
    {42, 52, PF_Param_SLIDER, "复杂性", "\xB8\xB4\xD4\xD3\xD0\xD4", "noise_complexity",
     1.0, 8.0, 4.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {43, 56, PF_Param_SLIDER, "种子", "\xD6\xD6\xD7\xD3", "noise_seed",
     1.0, 65536.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {44, 54, PF_Param_GROUP_END, "", "", "",
     0.0, 0.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {45, 9, PF_Param_GROUP_START, "输出", "\xCA\xE4\xB3\xF6", "",
     0.0, 0.0, 0.0, 0, 0, PF_ParamFlag_START_COLLAPSED, 0,
     0, "", "", "", "", "", false},
    {46, 11, PF_Param_POPUP, "模式", "\xC4\xA3\xCA\xBD", "mode",
     1.0, 7.0, 1.0, 0, 0, 0, 0,
     8, "排序像素|渐变|拉伸第一个像素|拉伸最后一个像素|(-|遮罩|贴图", "\xC5\xC5\xD0\xF2\xCF\xF1\xCB\xD8|\xBD\xA5\xB1\xE4|\xC0\xAD\xC9\xEC\xB5\xDA\xD2\xBB\xB8\xF6\xCF\xF1\xCB\xD8|\xC0\xAD\xC9\xEC\xD7\xEE\xBA\xF3\xD2\xBB\xB8\xF6\xCF\xF1\xCB\xD8|(-|\xD5\xDA\xD5\xD6|\xCC\xF9\xCD\xBC", "", "", "sort|gradient|stretch_first|stretch_last||mask|map", false},
    {47, 27, PF_Param_CHECKBOX, "保留alpha通道", "\xB1\xA3\xC1\xF4" "alpha\xCD\xA8\xB5\xC0", "preserve_alpha",
     0.0, 1.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
    {48, 10, PF_Param_GROUP_END, "", "", "",
     0.0, 0.0, 0.0, 0, 0, 0, 0,
     0, "", "", "", "", "", false},
}};

// Premiere Pro has no mask paths: invisible integer sliders keep indices 6 and 7 (and their ids).
inline constexpr std::array<ParamSpec, 2> kPremierePlaceholders{{
    {6, 46, PF_Param_SLIDER, "限制", "\xCF\xDE\xD6\xC6", "mask",
     0.0, 100.0, 0.0, 0, 0, 0, PF_PUI_INVISIBLE,
     0, "", "", "", "", "", false},
    {7, 68, PF_Param_SLIDER, "限制", "\xCF\xDE\xD6\xC6", "use_all_masks",
     0.0, 100.0, 0.0, 0, 0, 0, PF_PUI_INVISIBLE,
     0, "", "", "", "", "", false},
}};
// clang-format on

// The row registered at `index` (1..48) in the given host; nullptr outside that range.
constexpr const ParamSpec* FindParam(int index, bool premiere) {
    if (index < 1 || index >= KRVN_NUM_PARAMS) return nullptr;
    if (premiere && (index == KRVN_MASK || index == KRVN_USE_ALL_MASKS)) {
        return &kPremierePlaceholders[static_cast<std::size_t>(index - KRVN_MASK)];
    }
    return &kParams[static_cast<std::size_t>(index - 1)];
}

// The row with this CLI name (After Effects rows); nullptr when none has it.
constexpr const ParamSpec* FindParamByCliName(std::string_view cli_name) {
    if (cli_name.empty()) return nullptr;
    for (const ParamSpec& row : kParams) {
        if (cli_name == row.cli_name) return &row;
    }
    return nullptr;
}

// Number of '|'-separated fields of a list ("" has none).
constexpr int CountItems(std::string_view list) {
    if (list.empty()) return 0;
    int n = 1;
    for (char c : list) n += (c == '|') ? 1 : 0;
    return n;
}

// The field at 1-based `position` of a '|'-separated list; "" past the end.
constexpr std::string_view ItemAt(std::string_view list, int position) {
    for (int p = 1; p <= position; ++p) {
        const std::size_t bar = list.find('|');
        if (p == position) return list.substr(0, bar);
        if (bar == std::string_view::npos) return {};
        list.remove_prefix(bar + 1);
    }
    return {};
}

// 1-based position of a popup value name in a row's cli_values; 0 when absent.
constexpr int PopupValue(const ParamSpec& row, std::string_view value_name) {
    const int n = CountItems(row.cli_values);
    for (int p = 1; p <= n; ++p) {
        if (!value_name.empty() && ItemAt(row.cli_values, p) == value_name) return p;
    }
    return 0;
}

namespace detail {

constexpr bool RowsInOrder() {
    for (std::size_t i = 0; i < kParams.size(); ++i) {
        if (kParams[i].index != static_cast<int>(i) + 1) return false;
    }
    return kPremierePlaceholders[0].index == KRVN_MASK && kPremierePlaceholders[1].index == KRVN_USE_ALL_MASKS &&
           kPremierePlaceholders[0].id == kParams[KRVN_MASK - 1].id &&
           kPremierePlaceholders[1].id == kParams[KRVN_USE_ALL_MASKS - 1].id;
}

// Popups: items, value names and range agree, and one extra choice is declared.
constexpr bool PopupsConsistent() {
    for (const ParamSpec& row : kParams) {
        if (row.type != PF_Param_POPUP) continue;
        const int items = CountItems(row.items);
        if (items != CountItems(row.items_gbk) || items != CountItems(row.cli_values)) return false;
        if (row.num_choices != items + 1 || row.valid_min != 1.0 || row.valid_max != items) return false;
    }
    return true;
}

constexpr bool NamesFit() {
    for (const ParamSpec& row : kParams) {
        if (std::string_view(row.name_gbk).size() > PF_MAX_EFFECT_PARAM_NAME_LEN) return false;
    }
    return true;
}

template <typename E>
constexpr bool Matches(ParamIndex index, E choice, std::string_view value_name) {
    return PopupValue(kParams[index - 1], value_name) == static_cast<int>(choice);
}

}  // namespace detail

static_assert(detail::RowsInOrder());
static_assert(detail::PopupsConsistent());
static_assert(detail::NamesFit());
static_assert(kParams[KRVN_EFFECT - 1].id == kParams[KRVN_TRIGGER - 1].id, "id 3 is carried twice");

static_assert(detail::Matches(KRVN_EFFECT, EffectChoice::Inside, "inside"));
static_assert(detail::Matches(KRVN_EFFECT, EffectChoice::Outside, "outside"));
static_assert(detail::Matches(KRVN_PRIORITY, PriorityChoice::Sort, "sort"));
static_assert(detail::Matches(KRVN_PRIORITY, PriorityChoice::Source, "source"));
static_assert(detail::Matches(KRVN_TRIGGER, TriggerChoice::Red, "red"));
static_assert(detail::Matches(KRVN_TRIGGER, TriggerChoice::Green, "green"));
static_assert(detail::Matches(KRVN_TRIGGER, TriggerChoice::Blue, "blue"));
static_assert(detail::Matches(KRVN_TRIGGER, TriggerChoice::Alpha, "alpha"));
static_assert(detail::Matches(KRVN_TRIGGER, TriggerChoice::Min, "min"));
static_assert(detail::Matches(KRVN_TRIGGER, TriggerChoice::Max, "max"));
static_assert(detail::Matches(KRVN_TRIGGER, TriggerChoice::Luminance, "luminance"));
static_assert(detail::Matches(KRVN_TRIGGER, TriggerChoice::Saturation, "saturation"));
static_assert(detail::Matches(KRVN_TRIGGER, TriggerChoice::Hue, "hue"));
static_assert(detail::Matches(KRVN_SORT_KEY, SortKeyChoice::Red, "red"));
static_assert(detail::Matches(KRVN_SORT_KEY, SortKeyChoice::Green, "green"));
static_assert(detail::Matches(KRVN_SORT_KEY, SortKeyChoice::Blue, "blue"));
static_assert(detail::Matches(KRVN_SORT_KEY, SortKeyChoice::Alpha, "alpha"));
static_assert(detail::Matches(KRVN_SORT_KEY, SortKeyChoice::Min, "min"));
static_assert(detail::Matches(KRVN_SORT_KEY, SortKeyChoice::Max, "max"));
static_assert(detail::Matches(KRVN_SORT_KEY, SortKeyChoice::Xor, "xor"));
static_assert(detail::Matches(KRVN_SORT_KEY, SortKeyChoice::Luminance, "luminance"));
static_assert(detail::Matches(KRVN_SORT_KEY, SortKeyChoice::Saturation, "saturation"));
static_assert(detail::Matches(KRVN_SORT_KEY, SortKeyChoice::Hue, "hue"));
static_assert(detail::Matches(KRVN_MODE, ModeChoice::Sort, "sort"));
static_assert(detail::Matches(KRVN_MODE, ModeChoice::Gradient, "gradient"));
static_assert(detail::Matches(KRVN_MODE, ModeChoice::StretchFirst, "stretch_first"));
static_assert(detail::Matches(KRVN_MODE, ModeChoice::StretchLast, "stretch_last"));
static_assert(detail::Matches(KRVN_MODE, ModeChoice::Mask, "mask"));
static_assert(detail::Matches(KRVN_MODE, ModeChoice::Map, "map"));
static_assert(ItemAt(kParams[KRVN_MODE - 1].items, static_cast<int>(ModeChoice::Separator)) == "(-");
static_assert(ItemAt(kParams[KRVN_SORT_KEY - 1].items, static_cast<int>(SortKeyChoice::Xor)) == "XOR");
static_assert(ItemAt(kParams[KRVN_TRIGGER - 1].items, static_cast<int>(TriggerChoice::Alpha)) == "Alpha通道");

// What each parameter does, for people: one line with its unit and what its ends mean. "" for
// groups and the help button. One line per parameter, however long.
// clang-format off
constexpr std::string_view Description(int index) {
    switch (index) {
    case KRVN_THRESHOLD_LOW: return "lower end of the trigger band, 0-1, inclusive: a trigger equal to it is inside";
    case KRVN_THRESHOLD_HIGH:
        return "upper end of the band, exclusive - a trigger equal to it is outside; to include pure white, use "
               "effect=outside with the band below";
    case KRVN_EFFECT: return "inside: spans form where the trigger lies in the band; outside: where it lies outside it";
    case KRVN_ANGLE: return "direction of the lines, degrees, counter-clockwise: 0 sorts along rows, 90 along columns";
    case KRVN_MASK: return "spans start only inside this closed --mask (1 for the first); 0 for none";
    case KRVN_USE_ALL_MASKS: return "spans start only inside any of the closed --mask paths";
    case KRVN_STRETCH: return "stretch every span by stretch_factor, from the sorted or the unsorted span (priority)";
    case KRVN_STRETCH_FACTOR:
        return "length of a stretched span, 0-10 times: 2 repeats each pixel up to the line's end, 0.5 keeps every "
               "other pixel; 0 is off";
    case KRVN_PRIORITY: return "what a stretch repeats: sort = the sorted span, source = the span as it was";
    case KRVN_TRIGGER: return "value that decides where spans form, 0-1: a channel, the lowest or highest channel, luminance, saturation or hue";
    case KRVN_TRIGGER_SOURCE: return "another image decides where spans form (--trigger-source IMAGE)";
    case KRVN_SORT_KEY: return "value each span is sorted by, low to high (xor: the channels' bits combined)";
    case KRVN_SORT_SOURCE: return "another image gives the sort order (--sort-source IMAGE)";
    case KRVN_FILL: return "on: a span still open at a line's end is closed and sorted there; off: it stays unsorted";
    case KRVN_POP: return "percent: more saturation, brightness and contrast inside spans; 0 is off";
    case KRVN_BLUR: return "box blur along each span, radius in pixels; 0 is off";
    case KRVN_BLOCK_WIDTH:
        return "longest span, percent of the line's length, squared (50 gives a quarter of the line); 100 is no limit";
    case KRVN_BLOCK_HEIGHT:
        return "lines per block, percent of the line count, squared: the lines of a block take the triggers of its first line; 0 is one line";
    case KRVN_REVERSE: return "sort high to low, and run gradients from the pixel after the span back to the first";
    case KRVN_MIRROR: return "each span becomes its first half followed by that half reversed";
    case KRVN_RESOLUTION: return "size of the sorting grid, not linear: 100 sorts every pixel, lower values coarser blocks";
    case KRVN_AFFECT_BACKGROUND:
        return "on: every pixel comes back from the sorting grid; off: only pixels in spans (matters when the grid is turned or coarse)";
    case KRVN_LOOP: return "turns the pixels of each span round within it, degrees as a fraction of a full turn; 0 is off";
    case KRVN_ANIMATE_GROWTH: return "length of each span, percent: 100 unchanged, 0 none, 200 doubled";
    case KRVN_OFFSET: return "shifts each span along its line by this percent of its length";
    case KRVN_RANDOM_OFFSET: return "shifts each span back by a random part of its length, up to this percent; 0 is off";
    case KRVN_RANDOM_SEED: return "seed of the random offsets: another seed, another pattern";
    case KRVN_FEATHER_START: return "percent of each span, from its start, blended back towards the unsorted pixels";
    case KRVN_FEATHER_END: return "percent of each span, from its end, blended back towards the unsorted pixels";
    case KRVN_NOISE_AMOUNT: return "noise added to the trigger, percent, so that span edges break up; 0 is off";
    case KRVN_NOISE_SIZE: return "size of the noise's features, percent, squared: larger is coarser";
    case KRVN_NOISE_COMPLEXITY: return "octaves of noise, 1-8: more adds finer detail";
    case KRVN_NOISE_SEED: return "seed of the noise: another seed, another pattern";
    case KRVN_MODE:
        return "sort: sort spans; gradient: fill from the first pixel towards the one after the span; stretch_first, "
               "stretch_last: fill with that pixel; mask: spans as white; map: each pixel's place in its span as grey";
    case KRVN_PRESERVE_ALPHA: return "sorted pixels keep the alpha of the place they land on";
    default: return "";
    }
}
// clang-format on

constexpr bool EveryNamedParameterDescribed() {
    for (const ParamSpec& row : kParams)
        if (row.cli_name[0] != '\0' && row.type != PF_Param_BUTTON && Description(row.index).empty()) return false;
    return true;
}
static_assert(EveryNamedParameterDescribed(), "a parameter with a CLI name has no description");

}  // namespace korvane::params
