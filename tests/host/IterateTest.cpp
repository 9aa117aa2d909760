// The iterate suites: every pixel (or item) exactly once at one and at many threads, areas, the
// first error, and cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "HostSupport.h"

namespace korvane::hostlib_test {
namespace {

struct Visits {
    A_long width = 0;
    std::vector<std::atomic<int>> count;
    PF_EffectWorld* src = nullptr;
    PF_EffectWorld* dst = nullptr;
    std::atomic<bool> addresses_ok{true};
    A_long fail_at_row = -1;
};

template <typename Pixel>
PF_Err Visit(void* refcon, A_long x, A_long y, Pixel* in, Pixel* out) {
    auto& v = *static_cast<Visits*>(refcon);
    v.count[static_cast<size_t>(y * v.width + x)].fetch_add(1);
    const auto at = [x, y](PF_EffectWorld* w) {
        return reinterpret_cast<Pixel*>(static_cast<char*>(w->data) + static_cast<size_t>(w->rowbytes) * y) + x;
    };
    if (in != at(v.src) || out != at(v.dst)) v.addresses_ok = false;
    *out = *in;
    return y == v.fail_at_row ? PF_Err_OUT_OF_MEMORY : PF_Err_NONE;
}

class HostLibIterate : public HostLibTest {
protected:
    template <typename Suite, typename Pixel>
    PF_Err IterateOnce(const char* suite_name, World& src, World& dst, Visits& v, const PF_Rect* area) {
        v.width = dst.width();
        v.count = std::vector<std::atomic<int>>(static_cast<size_t>(dst.width() * dst.height()));
        v.src = src.pf();
        v.dst = dst.pf();
        return Inside([&](PF_InData* in) {
            auto* suite = Acquire<Suite>(in, suite_name, 1);
            const PF_Err err = suite->iterate(in, 0, dst.height(), src.pf(), area, &v, &Visit<Pixel>, dst.pf());
            Release(in, suite_name, 1);
            return err;
        });
    }

    template <typename Suite, typename Pixel>
    void CheckEveryPixelOnce(const char* suite_name, int depth) {
        for (int threads : {1, 4}) {
            host_->SetThreadCount(threads);
            World src(37, 23, depth), dst(37, 23, depth);
            src.FillRandom(5);
            Visits v;
            ASSERT_EQ((IterateOnce<Suite, Pixel>(suite_name, src, dst, v, nullptr)), PF_Err_NONE);
            for (const auto& c : v.count) ASSERT_EQ(c.load(), 1) << depth << " bits, " << threads << " threads";
            EXPECT_TRUE(v.addresses_ok);
            EXPECT_TRUE(dst.SamePixels(src));
            EXPECT_TRUE(dst.PaddingIntact());

            const PF_Rect area{3, 4, 10, 9};
            Visits part;
            ASSERT_EQ((IterateOnce<Suite, Pixel>(suite_name, src, dst, part, &area)), PF_Err_NONE);
            for (A_long y = 0; y < 23; ++y) {
                for (A_long x = 0; x < 37; ++x) {
                    const bool inside = x >= 3 && x < 10 && y >= 4 && y < 9;
                    ASSERT_EQ(part.count[static_cast<size_t>(y * 37 + x)].load(), inside ? 1 : 0);
                }
            }
        }
    }
};

TEST_F(HostLibIterate, EveryPixelOnceAtEachDepthAndThreadCount) {
    CheckEveryPixelOnce<PF_Iterate8Suite1, PF_Pixel8>(kPFIterate8Suite, 8);
    CheckEveryPixelOnce<PF_iterate16Suite1, PF_Pixel16>(kPFIterate16Suite, 16);
    CheckEveryPixelOnce<PF_iterateFloatSuite1, PF_PixelFloat>(kPFIterateFloatSuite, 32);
}

TEST_F(HostLibIterate, WrongDepthErrorsAndCancelAreAnswered) {
    World w8(8, 8, 8), w16(8, 8, 16);
    Visits v;
    EXPECT_EQ((IterateOnce<PF_iterate16Suite1, PF_Pixel16>(kPFIterate16Suite, w8, w8, v, nullptr)),
              PF_Err_BAD_CALLBACK_PARAM);

    Visits failing;
    failing.fail_at_row = 5;
    EXPECT_EQ((IterateOnce<PF_iterate16Suite1, PF_Pixel16>(kPFIterate16Suite, w16, w16, failing, nullptr)),
              PF_Err_OUT_OF_MEMORY);

    host_->Cancel();
    Visits c;
    EXPECT_EQ((IterateOnce<PF_Iterate8Suite1, PF_Pixel8>(kPFIterate8Suite, w8, w8, c, nullptr)), PF_Interrupt_CANCEL);
    host_->ResetCancel();
    EXPECT_TRUE(host_->Leaks().empty()) << ::testing::PrintToString(host_->Leaks());
}

struct Items {
    std::vector<std::atomic<int>> count;
    std::atomic<int> bad_thread{0};
    int threads = 1;
    A_long fail_at = -1;
};

PF_Err Item(void* refcon, A_long thread_index, A_long i, A_long iterations) {
    auto& items = *static_cast<Items*>(refcon);
    items.count[static_cast<size_t>(i)].fetch_add(1);
    if (thread_index < 0 || thread_index >= items.threads || iterations != static_cast<A_long>(items.count.size())) {
        items.bad_thread.fetch_add(1);
    }
    return i == items.fail_at ? PF_Err_INVALID_INDEX : PF_Err_NONE;
}

TEST_F(HostLibIterate, GenericRunsEveryItemOnce) {
    for (int threads : {1, 3}) {
        host_->SetThreadCount(threads);
        Items items;
        items.threads = threads;
        items.count = std::vector<std::atomic<int>>(1000);
        ASSERT_EQ(Inside([&](PF_InData* in) {
                      auto* suite = Acquire<PF_Iterate8Suite1>(in, kPFIterate8Suite, 1);
                      const PF_Err err = suite->iterate_generic(1000, &items, &Item);
                      Release(in, kPFIterate8Suite, 1);
                      return err;
                  }),
                  PF_Err_NONE);
        for (const auto& c : items.count) ASSERT_EQ(c.load(), 1);
        EXPECT_EQ(items.bad_thread.load(), 0);
    }
    Items failing;
    failing.threads = 3;
    failing.count = std::vector<std::atomic<int>>(50);
    failing.fail_at = 20;
    EXPECT_EQ(Inside([&](PF_InData* in) {
                  auto* suite = Acquire<PF_iterateFloatSuite1>(in, kPFIterateFloatSuite, 1);
                  const PF_Err err = suite->iterate_generic(50, &failing, &Item);
                  Release(in, kPFIterateFloatSuite, 1);
                  return err;
              }),
              PF_Err_INVALID_INDEX);
}

}  // namespace
}  // namespace korvane::hostlib_test
