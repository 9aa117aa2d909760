// Registration of the effect and of its 48 parameters in both hosts.
#include <iconv.h>

#include <array>
#include <cstring>
#include <string>

#include "EntrySupport.h"
#include "params/ParamTable.h"

namespace korvane::entry_test {
namespace {

using params::kParams;

// Disk ids and types of indices 1..48, written out independently of the table.
struct Expected {
    A_long id;
    PF_ParamType type;
};
constexpr std::array<Expected, 48> kExpected = {{
    {24, PF_Param_BUTTON},       {2, PF_Param_FLOAT_SLIDER},  {59, PF_Param_FLOAT_SLIDER}, {3, PF_Param_POPUP},
    {1, PF_Param_ANGLE},         {46, PF_Param_PATH},         {68, PF_Param_CHECKBOX},     {66, PF_Param_GROUP_START},
    {63, PF_Param_CHECKBOX},     {64, PF_Param_FLOAT_SLIDER}, {65, PF_Param_POPUP},        {67, PF_Param_GROUP_END},
    {25, PF_Param_GROUP_START},  {3, PF_Param_POPUP},         {61, PF_Param_LAYER},        {8, PF_Param_POPUP},
    {62, PF_Param_LAYER},        {43, PF_Param_CHECKBOX},     {26, PF_Param_GROUP_END},    {37, PF_Param_GROUP_START},
    {42, PF_Param_FLOAT_SLIDER}, {28, PF_Param_FLOAT_SLIDER}, {49, PF_Param_FLOAT_SLIDER}, {48, PF_Param_FLOAT_SLIDER},
    {7, PF_Param_CHECKBOX},      {60, PF_Param_CHECKBOX},     {19, PF_Param_FLOAT_SLIDER}, {41, PF_Param_CHECKBOX},
    {38, PF_Param_GROUP_END},    {39, PF_Param_GROUP_START},  {29, PF_Param_ANGLE},        {50, PF_Param_FLOAT_SLIDER},
    {20, PF_Param_FLOAT_SLIDER}, {21, PF_Param_FLOAT_SLIDER}, {22, PF_Param_SLIDER},       {17, PF_Param_FLOAT_SLIDER},
    {18, PF_Param_FLOAT_SLIDER}, {40, PF_Param_GROUP_END},    {53, PF_Param_GROUP_START},  {55, PF_Param_FLOAT_SLIDER},
    {51, PF_Param_FLOAT_SLIDER}, {52, PF_Param_SLIDER},       {56, PF_Param_SLIDER},       {54, PF_Param_GROUP_END},
    {9, PF_Param_GROUP_START},   {11, PF_Param_POPUP},        {27, PF_Param_CHECKBOX},     {10, PF_Param_GROUP_END},
}};

std::string ToGbk(const std::string& utf8) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return "<iconv_open failed>";
    std::string in = utf8;
    std::string out(in.size() * 2 + 4, '\0');
    char* in_ptr = in.data();
    char* out_ptr = out.data();
    std::size_t in_left = in.size();
    std::size_t out_left = out.size();
    const std::size_t done = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    iconv_close(cd);
    if (done == static_cast<std::size_t>(-1)) return "<not convertible>";
    out.resize(out.size() - out_left);
    return out;
}

class Registration : public EntryTest {};

TEST_F(Registration, EntryValuesArePassedOnce) {
    Host& h = MakeHost(Personality::AfterEffects);
    const auto& r = h.registration();
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.result, PF_Err_NONE);
    EXPECT_EQ(r.name, "Korvane ");
    EXPECT_EQ(r.match_name, "ZV Korvane");
    EXPECT_EQ(r.category, "Tessary");
    EXPECT_EQ(r.entry_point_name, "EffectMain");
    EXPECT_EQ(static_cast<A_u_long>(r.kind), PF_FOURCC('e', 'F', 'K', 'T'));
    EXPECT_EQ(r.api_version_major, 13);
    EXPECT_EQ(r.api_version_minor, 28);
    EXPECT_EQ(r.reserved_info, 8);
}

TEST_F(Registration, CallbackResultIsReturned) {
    Host& h = MakeHost(Personality::AfterEffects);
    h.FailCall("register", 1, PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(h.Register(), PF_Err_OUT_OF_MEMORY);
}

TEST_F(Registration, SameIndicesAndIdsInBothHosts) {
    Host& ae = SetUpHost(Personality::AfterEffects);
    Host& pr = SetUpHost(Personality::Premiere);
    ASSERT_EQ(ae.param_count(), 48);
    ASSERT_EQ(pr.param_count(), 48);
    for (int index = 1; index <= 48; ++index) {
        SCOPED_TRACE(index);
        const Expected& want = kExpected[static_cast<std::size_t>(index - 1)];
        EXPECT_EQ(ae.registered(index).uu.id, want.id);
        EXPECT_EQ(pr.registered(index).uu.id, want.id);
        EXPECT_EQ(ae.registered(index).param_type, want.type);
        if (index == 6 || index == 7) {
            EXPECT_EQ(pr.registered(index).param_type, PF_Param_SLIDER);
        } else {
            EXPECT_EQ(pr.registered(index).param_type, want.type);
            EXPECT_EQ(std::string(pr.registered(index).name), ae.registered(index).name);
        }
    }
    EXPECT_EQ(ae.registered(4).uu.id, ae.registered(14).uu.id);
}

TEST_F(Registration, NamesAndItemsAreGbkBytes) {
    Host& h = SetUpHost(Personality::AfterEffects);
    EXPECT_EQ(std::string(h.registered(1).name), "\xC8\xE7\xBA\xCE\xCA\xB9\xD3\xC3");  // 如何使用
    EXPECT_EQ(std::string(h.registered(2).name), "\xE3\xD0\xD6\xB5 <");             // 阈值 <
    EXPECT_EQ(std::string(h.registered(13).name), "\xB4\xA5\xB7\xA2\xC6\xF7 & \xB1\xC8\xBD\xCF\xC6\xF7");
    EXPECT_EQ(std::string(h.registered(21).name), "Pop");
    EXPECT_EQ(std::string(h.registered(28).name), "");
    EXPECT_EQ(std::string(h.registered(47).name), "\xB1\xA3\xC1\xF4" "alpha\xCD\xA8\xB5\xC0");
    EXPECT_EQ(h.popup_items(4), "\xE3\xD0\xD6\xB5\xC4\xDA|\xE3\xD0\xD6\xB5\xCD\xE2");  // 阈值内|阈值外
    EXPECT_EQ(h.popup_items(46).substr(0, 8), "\xC5\xC5\xD0\xF2\xCF\xF1\xCB\xD8");     // 排序像素

    // Every name, item list and label of the table is the GBK form of its text.
    for (const auto& row : kParams) {
        SCOPED_TRACE(row.index);
        EXPECT_EQ(ToGbk(row.name), row.name_gbk);
        EXPECT_EQ(ToGbk(row.items), row.items_gbk);
        EXPECT_EQ(ToGbk(row.label), row.label_gbk);
        EXPECT_EQ(std::string(h.registered(row.index).name), row.name_gbk);
    }
}

TEST_F(Registration, FlagsRangesAndDefaults) {
    Host& h = SetUpHost(Personality::AfterEffects);
    EXPECT_EQ(h.registered(1).flags, PF_ParamFlag_SUPERVISE);
    EXPECT_EQ(h.registered(7).flags, PF_ParamFlag_CANNOT_TIME_VARY);
    EXPECT_EQ(h.registered(28).flags, PF_ParamFlag_CANNOT_TIME_VARY);
    for (int index : {8, 13, 20, 30, 39, 45}) EXPECT_EQ(h.registered(index).flags, PF_ParamFlag_START_COLLAPSED) << index;
    for (int index : {12, 19, 29, 38, 44, 48}) {
        EXPECT_EQ(h.registered(index).flags, 0) << index;
        EXPECT_EQ(std::string(h.registered(index).name), "") << index;
    }
    int supervised = 0;
    for (int index = 1; index <= 48; ++index) supervised += (h.registered(index).flags & PF_ParamFlag_SUPERVISE) ? 1 : 0;
    EXPECT_EQ(supervised, 1);

    const PF_FloatSliderDef& pop = h.registered(21).u.fs_d;
    EXPECT_EQ(pop.precision, 0);
    EXPECT_EQ(pop.display_flags, PF_ValueDisplayFlag_PERCENT);
    EXPECT_EQ(h.registered(22).u.fs_d.display_flags, 0);  // blur: a plain number
    const PF_FloatSliderDef& growth = h.registered(32).u.fs_d;
    EXPECT_EQ(growth.valid_min, 0.0f);
    EXPECT_EQ(growth.valid_max, 200.0f);
    EXPECT_EQ(growth.slider_max, 200.0f);
    EXPECT_EQ(growth.dephault, 100.0f);
    EXPECT_EQ(growth.precision, 1);
    EXPECT_FLOAT_EQ(growth.curve_tolerance, 0.05f);
    EXPECT_EQ(h.registered(3).u.fs_d.dephault, 0.5f);
    EXPECT_EQ(h.registered(3).u.fs_d.precision, 3);

    EXPECT_EQ(h.registered(4).u.pd.num_choices, 3);
    EXPECT_EQ(h.registered(14).u.pd.num_choices, 10);
    EXPECT_EQ(h.registered(14).u.pd.dephault, 7);
    EXPECT_EQ(h.registered(16).u.pd.num_choices, 11);
    EXPECT_EQ(h.registered(16).u.pd.dephault, 8);
    EXPECT_EQ(h.registered(46).u.pd.num_choices, 8);

    const PF_SliderDef& seed = h.registered(43).u.sd;
    EXPECT_EQ(seed.valid_min, 1);
    EXPECT_EQ(seed.valid_max, 65536);
    EXPECT_EQ(seed.dephault, 0);  // below its own minimum, as registered
    EXPECT_EQ(h.registered(18).u.bd.dephault, 1);
    EXPECT_EQ(h.registered(28).u.bd.dephault, 1);
    EXPECT_EQ(h.registered(6).u.path_d.dephault, 0);
}

TEST_F(Registration, PremierePlaceholdersAreInvisibleSliders) {
    Host& h = SetUpHost(Personality::Premiere);
    for (int index : {6, 7}) {
        SCOPED_TRACE(index);
        const PF_ParamDef& def = h.registered(index);
        EXPECT_EQ(std::string(def.name), "\xCF\xDE\xD6\xC6");  // 限制
        EXPECT_TRUE(def.ui_flags & PF_PUI_INVISIBLE);
        EXPECT_EQ(def.u.sd.valid_min, 0);
        EXPECT_EQ(def.u.sd.valid_max, 100);
        EXPECT_EQ(def.u.sd.dephault, 0);
    }
}

TEST_F(Registration, StopsAtTheFirstFailingAdd) {
    Host& h = MakeHost(Personality::AfterEffects);
    ASSERT_EQ(h.GlobalSetup(), PF_Err_NONE);
    const long before = h.call_count("add_param");
    h.FailCall("add_param", 5, PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(h.ParamsSetup(), PF_Err_OUT_OF_MEMORY);
    EXPECT_EQ(h.call_count("add_param") - before, 5);
    EXPECT_EQ(h.param_count(), 4);
    const auto lines = LogLines();
    EXPECT_TRUE(AnyLineContains(lines, ":EffectMain] :: PF_Cmd_PARAMS_SETUP. Code: PF_Err_OUT_OF_MEMORY (4)"));
}

}  // namespace
}  // namespace korvane::entry_test
