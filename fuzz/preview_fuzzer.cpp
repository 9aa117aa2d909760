// The preview server's request bodies (POST /api/render and /api/command), through the parser the
// server itself calls. A body may only give a look or throw BadLook naming a field and a reason; any
// other exception would reach the client as a 500. A look it gives must be one the renderer can use:
// finite values, masks that parse, a time >= 0, a width in range and a mask index it has masks for.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "ParamTable.h"
#include "cli/SvgPath.h"
#include "preview/Look.h"

namespace {

namespace cli = korvane::cli;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "preview fuzzer: %s\n", what.c_str());
    std::abort();
}

void CheckLook(const cli::Look& look) {
    if (!std::isfinite(look.time) || look.time < 0) Fail("a time that is not a finite number >= 0");
    if (look.width < 0 || look.width > cli::kMaxLookWidth) Fail("a width out of range");
    for (const std::string& mask : look.masks) {
        try {
            (void)cli::parseSvgPath(mask);
        } catch (const cli::PathSyntaxError&) {
            Fail("a mask that does not parse");
        }
    }
    for (const auto& [index, setting] : look.settings.byIndex()) {
        if (!setting.row || setting.row->index != index) Fail("a setting filed under the wrong index");
        if (setting.keys.size() != 1) Fail("a look parameter that is not a single value");
        const double value = setting.keys[0].value;
        if (!std::isfinite(value)) Fail("a value that is not finite");
        if (index == korvane::params::KRVN_MASK && value > static_cast<double>(look.masks.size()))
            Fail("a mask index without its mask");
        (void)cli::formatValue(*setting.row, value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    try {
        CheckLook(cli::parseLook(body));
    } catch (const cli::BadLook& e) {
        if (e.field.empty() || e.message.empty()) Fail("an error without a field or a message");
    } catch (const std::exception& e) {
        Fail(std::string("an exception other than BadLook: ") + e.what());
    }
    return 0;
}
