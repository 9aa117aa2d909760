// Registration of the effect and of its 48 parameters in both hosts.
#include <iconv.h>

#include <cstring>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>

#include "EntrySupport.h"
#include "params/ParamTable.h"

namespace korvane::entry_test {
namespace {

using params::kParams;

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

// Text bytes as they are when printable ASCII, else as \xHH.
std::string Escaped(const char* text) {
    std::ostringstream out;
    for (const char* c = text; c != nullptr && *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out << *c;
        } else {
            out << "\\x" << std::hex << std::uppercase << std::setw(2) << std::setfill('0') << int{byte} << std::dec;
        }
    }
    return out.str();
}

// Every field of every registered definition that the effect sets, one line a parameter.
std::string RegistrationDump(const Host& h) {
    std::ostringstream out;
    out << std::setprecision(9);
    for (int index = 1; index <= h.param_count(); ++index) {
        const PF_ParamDef& d = h.registered(index);
        out << index << " id " << d.uu.id << " type " << d.param_type << " name \"" << Escaped(d.name) << "\" flags "
            << d.flags << " ui " << d.ui_flags;
        switch (d.param_type) {
            case PF_Param_FLOAT_SLIDER: {
                const PF_FloatSliderDef& f = d.u.fs_d;
                out << " valid " << f.valid_min << ".." << f.valid_max << " slider " << f.slider_min << ".."
                    << f.slider_max << " default " << f.dephault << " precision " << f.precision << " display "
                    << f.display_flags << " fs_flags " << f.fs_flags << " curve " << f.curve_tolerance;
                break;
            }
            case PF_Param_SLIDER: {
                const PF_SliderDef& sd = d.u.sd;
                out << " valid " << sd.valid_min << ".." << sd.valid_max << " slider " << sd.slider_min << ".."
                    << sd.slider_max << " default " << sd.dephault;
                break;
            }
            case PF_Param_POPUP:
                out << " choices " << d.u.pd.num_choices << " default " << d.u.pd.dephault << " items \""
                    << Escaped(h.popup_items(index).c_str()) << "\"";
                break;
            case PF_Param_CHECKBOX:
                out << " default " << d.u.bd.dephault << " label \"" << Escaped(d.u.bd.u.nameptr) << "\"";
                break;
            case PF_Param_ANGLE:
                out << " default " << d.u.ad.dephault << " valid " << d.u.ad.valid_min << ".." << d.u.ad.valid_max;
                break;
            case PF_Param_PATH: out << " default " << d.u.path_d.dephault; break;
            case PF_Param_LAYER: out << " default " << d.u.ld.dephault; break;
            case PF_Param_BUTTON: out << " label \"" << Escaped(d.u.button_d.u.namesptr) << "\""; break;
            default: break;
        }
        out << "\n";
    }
    return out.str();
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

// Ids, types, names, flags, ranges, defaults and popup items of both hosts' registrations against
// tests/data/registration.txt. A difference is a change of what users' projects store or show;
// the dump of this build is left in the build folder for the diff.
TEST_F(Registration, MatchesTheRecordedDefinitionsInBothHosts) {
    const std::string dump = "[After Effects]\n" + RegistrationDump(SetUpHost(Personality::AfterEffects)) +
                             "[Premiere Pro]\n" + RegistrationDump(SetUpHost(Personality::Premiere));
    const fs::path recorded = fs::path(KORVANE_SOURCE_DIR) / "tests" / "data" / "registration.txt";
    const fs::path actual = fs::path(KORVANE_BINARY_DIR) / "registration.actual.txt";
    if (dump != ReadFile(recorded)) {
        std::ofstream(actual, std::ios::binary) << dump;
        FAIL() << "registration differs from " << recorded << "; this build's is in " << actual;
    }
}

TEST_F(Registration, NamesAndItemsAreGbkBytes) {
    Host& h = SetUpHost(Personality::AfterEffects);
    EXPECT_EQ(std::string(h.registered(1).name), "\xC8\xE7\xBA\xCE\xCA\xB9\xD3\xC3");  // 如何使用
    EXPECT_EQ(std::string(h.registered(2).name), "\xE3\xD0\xD6\xB5 <");                // 阈值 <
    EXPECT_EQ(std::string(h.registered(13).name), "\xB4\xA5\xB7\xA2\xC6\xF7 & \xB1\xC8\xBD\xCF\xC6\xF7");
    EXPECT_EQ(std::string(h.registered(21).name), "Pop");
    EXPECT_EQ(std::string(h.registered(28).name), "");
    EXPECT_EQ(std::string(h.registered(47).name),
              "\xB1\xA3\xC1\xF4"
              "alpha\xCD\xA8\xB5\xC0");
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
