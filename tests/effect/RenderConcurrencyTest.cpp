// Threaded rendering: frames rendered at once on several threads give the bytes they give one at a
// time. Run under ThreadSanitizer in CI.
#include <thread>

#include "RenderSupport.h"

namespace korvane::render_test {
namespace {

class RenderConcurrency : public RenderTest {};

TEST_F(RenderConcurrency, FramesRenderedAtOnceMatchFramesRenderedOneByOne) {
    Host& h = NewHost();
    h.SetThreadCount(2);
    h.SetKeyframe(P::KRVN_ANGLE, 0.0, 0.0);
    h.SetKeyframe(P::KRVN_ANGLE, 1.0, 60.0);
    h.Set(P::KRVN_RANDOM_OFFSET, 25);
    h.Set(P::KRVN_SORT_SOURCE, h.AddLayer(PhotoLike(20, 14, 8, 99)));

    struct Frame {
        World input;
        double time;
        World alone;
        World together;
    };
    std::vector<Frame> frames;
    for (int i = 0; i < 4; ++i) {
        const int depth = i % 2 == 0 ? 8 : 32;
        frames.push_back({PhotoLike(28 + i, 18, depth, 40 + i), i * 0.3, World(), World()});
    }
    for (Frame& f : frames) f.alone = RenderAe(h, f.input, PF_Err_NONE, f.time);

    std::vector<std::thread> threads;
    std::vector<PF_Err> results(frames.size(), -1);
    for (size_t i = 0; i < frames.size(); ++i) {
        frames[i].together = World(frames[i].input.width(), frames[i].input.height(), frames[i].input.depth());
        threads.emplace_back([&, i] {
            results[i] = h.RenderSmart(frames[i].time, frames[i].input.depth(), frames[i].input, frames[i].together);
        });
    }
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(results[i], PF_Err_NONE);
        EXPECT_TRUE(frames[i].together.SamePixels(frames[i].alone)) << "frame " << i;
    }
    ExpectNothingLive(h);
}

TEST_F(RenderConcurrency, PremiereFramesRenderedAtOnce) {
    Host& pr = NewHost(Personality::Premiere);
    pr.Set(P::KRVN_ANGLE, 21);
    std::vector<World> inputs, alone, together;
    for (int i = 0; i < 3; ++i) {
        // The last frame is large enough for the compact grid's passes to run on several threads.
        World in = PhotoLike(i == 2 ? 150 : 24, i == 2 ? 90 : 16, 8, 60 + i).Converted(8, host::ChannelOrder::BGRA);
        in.SetPremiereFormat(host::PremiereFormat("bgra"));
        alone.push_back(RenderLegacy(pr, in));
        together.emplace_back(in.width(), in.height(), in.format());
        inputs.push_back(std::move(in));
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < inputs.size(); ++i) {
        threads.emplace_back([&, i] { EXPECT_EQ(pr.RenderLegacy(0.0, inputs[i], together[i]), PF_Err_NONE); });
    }
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < inputs.size(); ++i) EXPECT_TRUE(together[i].SamePixels(alone[i])) << i;
}

}  // namespace
}  // namespace korvane::render_test
