// Whole-frame benchmark: renders frames through the host in-process (smart render, After Effects
// personality) and reports the median milliseconds per frame and the peak resident memory for a
// matrix of looks, sizes and bit depths. Each case runs in its own child process so that its peak
// memory is its own. No file I/O while timing; --write-image writes the test picture as a PPM for
// the peer comparison (bench/peers.sh).
//
//   korvane_bench_frame [--sizes 1920x1080,3840x2160] [--depths 8,32] [--looks defaults,angle33,...]
//                       [--runs 5] [--threads 0] [--host ae|premiere] [--write-image FILE.ppm --size WxH]
//
// --host premiere renders through the legacy render of the Premiere Pro personality instead, with
// 8-bit BGRA worlds (the only format the effect accepts there); --depths is then ignored.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "KRVN.h"
#include "korvane/host/Host.h"
#include "params/LookTable.h"
#include "params/ParamTable.h"

namespace {

using korvane::host::Color;
using korvane::host::Host;
using korvane::host::Personality;
using korvane::host::World;
namespace P = korvane::params;

struct Look {
    const char* name;
    std::vector<std::pair<int, double>> values;  // parameter or look index, value in user units
};

const std::vector<Look>& Looks() {
    static const std::vector<Look> looks = {
        {"defaults", {}},
        {"angle33", {{P::KRVN_ANGLE, 33}}},
        {"hue", {{P::KRVN_SORT_KEY, 10}, {P::KRVN_TRIGGER, 9}}},
        {"gradient", {{P::KRVN_MODE, 2}}},
        {"noise", {{P::KRVN_NOISE_AMOUNT, 50}}},
        {"res50", {{P::KRVN_RESOLUTION, 50}}},
        {"blur10", {{P::KRVN_BLUR, 10}}},
        {"random", {{P::KRVN_RANDOM_OFFSET, 50}}},
        // Looks beyond the registered parameters, by the look table's indices: a host that hands
        // look values to the effect sets them.
        {"edges", {{P::KRVN_INTERVAL, 2}}},
        {"randomspans", {{P::KRVN_INTERVAL, 3}}},
        {"waves", {{P::KRVN_INTERVAL, 4}}},
        {"autothreshold", {{P::KRVN_AUTO_THRESHOLD, 1}}},
        {"circles", {{P::KRVN_PATH, 2}}},
        {"rays", {{P::KRVN_PATH, 3}}},
        {"spiral", {{P::KRVN_PATH, 4}}},
        {"hilbert", {{P::KRVN_PATH, 5}}},
    };
    return looks;
}

// A photo-like picture without file I/O: soft gradients, a few blurred discs of colour and grain,
// made the same way for every size so that runs compare.
World PhotoLike(A_long width, A_long height, int depth) {
    World w(width, height, depth);
    uint32_t state = 12345u;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 16777216.0f;
    };
    struct Disc {
        float x, y, r, red, green, blue;
    };
    std::vector<Disc> discs;
    for (int i = 0; i < 12; ++i) {
        discs.push_back({next() * width, next() * height, (0.05f + 0.25f * next()) * std::max(width, height), next(),
                         next(), next()});
    }
    for (A_long y = 0; y < height; ++y) {
        for (A_long x = 0; x < width; ++x) {
            const float u = static_cast<float>(x) / static_cast<float>(std::max<A_long>(width - 1, 1));
            const float v = static_cast<float>(y) / static_cast<float>(std::max<A_long>(height - 1, 1));
            float r = 0.15f + 0.7f * u, g = 0.25f + 0.5f * v, b = 0.85f - 0.6f * u * v;
            for (const Disc& d : discs) {
                const float dx = (x - d.x) / d.r, dy = (y - d.y) / d.r;
                const float t = std::max(0.0f, 1.0f - (dx * dx + dy * dy)) * 0.8f;
                r += (d.red - r) * t;
                g += (d.green - g) * t;
                b += (d.blue - b) * t;
            }
            const float grain = (next() - 0.5f) * 0.06f;
            auto c = [&](float value) { return std::clamp(value + grain, 0.0f, 1.0f); };
            w.Set(x, y, Color{1.0f, c(r), c(g), c(b)});
        }
    }
    return w;
}

void WritePpm(const World& w, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << w.width() << " " << w.height() << "\n255\n";
    std::vector<unsigned char> row(static_cast<size_t>(w.width()) * 3);
    for (A_long y = 0; y < w.height(); ++y) {
        for (A_long x = 0; x < w.width(); ++x) {
            const Color c = w.Get(x, y);
            row[x * 3 + 0] = static_cast<unsigned char>(std::lround(c.red * 255.0f));
            row[x * 3 + 1] = static_cast<unsigned char>(std::lround(c.green * 255.0f));
            row[x * 3 + 2] = static_cast<unsigned char>(std::lround(c.blue * 255.0f));
        }
        out.write(reinterpret_cast<const char*>(row.data()), static_cast<std::streamsize>(row.size()));
    }
}

struct Result {
    double median_ms = 0.0;
    double min_ms = 0.0;
    double peak_mib = 0.0;
    int err = 0;
};

double PeakMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The host personality every case renders under (--host).
Personality g_personality = Personality::AfterEffects;

Result RunCase(const Look& look, A_long width, A_long height, int depth, int runs, int threads) {
    Result result;
    const bool premiere = g_personality == Personality::Premiere;
    Host host(korvane::host::EntryPoints{&PluginDataEntryFunction, &EffectMain}, g_personality);
    if ((result.err = host.Setup()) != PF_Err_NONE) return result;
    host.SetThreadCount(threads);
    try {
        for (const auto& [index, value] : look.values) host.Set(index, value);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", look.name, e.what());
        result.err = -2;
        return result;
    }
    World input = premiere ? PhotoLike(width, height, 8).Converted(8, korvane::host::ChannelOrder::BGRA)
                           : PhotoLike(width, height, depth);
    if (premiere) input.SetPremiereFormat(korvane::host::PremiereFormat("bgra"));
    World output(width, height, input.format());
    const auto render = [&] {
        return premiere ? host.RenderLegacy(0.0, input, output) : host.RenderSmart(0.0, depth, input, output);
    };
    if ((result.err = render()) != PF_Err_NONE) return result;  // warm-up
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        result.err = render();
        const auto end = std::chrono::steady_clock::now();
        if (result.err != PF_Err_NONE) return result;
        times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    result.median_ms = times.size() % 2 == 1 ? times[times.size() / 2]
                                             : 0.5 * (times[times.size() / 2 - 1] + times[times.size() / 2]);
    result.min_ms = times.front();
    host.GlobalSetdown();
    result.peak_mib = PeakMiB();
    return result;
}

// Runs the case in a child process and reads its result back through a pipe.
Result RunIsolated(const Look& look, A_long width, A_long height, int depth, int runs, int threads) {
    int fds[2];
    if (pipe(fds) != 0) return Result{0, 0, 0, -1};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const Result r = RunCase(look, width, height, depth, runs, threads);
        const ssize_t written = write(fds[1], &r, sizeof r);
        _exit(written == static_cast<ssize_t>(sizeof r) ? 0 : 1);
    }
    close(fds[1]);
    Result r{0, 0, 0, -1};
    const ssize_t got = read(fds[0], &r, sizeof r);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got != static_cast<ssize_t>(sizeof r)) r.err = -1;
    return r;
}

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, sep);) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

bool ParseSize(const std::string& text, A_long& w, A_long& h) {
    return std::sscanf(text.c_str(), "%dx%d", &w, &h) == 2 && w > 0 && h > 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: korvane_bench_frame [--sizes WxH,...] [--depths 8,16,32] [--looks NAME,...] [--runs N]\n"
                 "                           [--threads N] [--host ae|premiere] | --write-image FILE.ppm [--size WxH]\n"
                 "looks:");
    for (const Look& l : Looks()) std::fprintf(stderr, " %s", l.name);
    std::fprintf(stderr, "\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> sizes = {"1920x1080", "3840x2160"};
    std::vector<std::string> depths = {"8", "32"};
    std::vector<std::string> looks;
    for (const Look& l : Looks()) looks.push_back(l.name);
    int runs = 5;
    int threads = 0;
    std::string image_path;
    std::string image_size = "1920x1080";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--sizes")
            sizes = Split(value(), ',');
        else if (arg == "--depths")
            depths = Split(value(), ',');
        else if (arg == "--looks")
            looks = Split(value(), ',');
        else if (arg == "--runs")
            runs = std::max(1, std::atoi(value().c_str()));
        else if (arg == "--threads")
            threads = std::max(0, std::atoi(value().c_str()));
        else if (arg == "--host") {
            const std::string name = value();
            if (name != "ae" && name != "premiere") return Usage();
            g_personality = name == "premiere" ? Personality::Premiere : Personality::AfterEffects;
        } else if (arg == "--write-image")
            image_path = value();
        else if (arg == "--size")
            image_size = value();
        else
            return Usage();
    }

    if (g_personality == Personality::Premiere) depths = {"8"};

    if (!image_path.empty()) {
        A_long w = 0, h = 0;
        if (!ParseSize(image_size, w, h)) return Usage();
        WritePpm(PhotoLike(w, h, 8), image_path);
        return 0;
    }

    std::printf("%-10s %-10s %5s %11s %9s %10s\n", "look", "size", "bits", "median ms", "min ms", "peak MiB");
    int failures = 0;
    for (const std::string& size : sizes) {
        A_long w = 0, h = 0;
        if (!ParseSize(size, w, h)) return Usage();
        for (const std::string& depth_text : depths) {
            const int depth = std::atoi(depth_text.c_str());
            if (depth != 8 && depth != 16 && depth != 32) return Usage();
            for (const std::string& name : looks) {
                const auto it = std::find_if(Looks().begin(), Looks().end(),
                                             [&](const Look& l) { return name == l.name; });
                if (it == Looks().end()) return Usage();
                const Result r = RunIsolated(*it, w, h, depth, runs, threads);
                if (r.err != 0) {
                    std::printf("%-10s %-10s %5d   failed (%d)\n", name.c_str(), size.c_str(), depth, r.err);
                    ++failures;
                    continue;
                }
                std::printf("%-10s %-10s %5d %11.1f %9.1f %10.0f\n", name.c_str(), size.c_str(), depth, r.median_ms,
                            r.min_ms, r.peak_mib);
                std::fflush(stdout);
            }
        }
    }
    return failures == 0 ? 0 : 1;
}
