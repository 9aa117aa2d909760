// korvane.so called from several threads: instances stand alone, a thread cap changes no byte, and
// overlapping calls on one instance are serialised with one warning.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "Frei0rSupport.h"

namespace korvane::frei0r_test {
namespace {

constexpr unsigned kWidth = 160, kHeight = 96;

void SetLook(Instance& instance) {
    instance.Set(0, 0.1);   // threshold_low
    instance.Set(1, 0.9);   // threshold_high
    instance.Set(3, 0.6);   // angle 36 degrees
    instance.Set(21, 0.3);  // random_offset
}

TEST(ConcurrencyFrei0r, TwoInstancesOnTwoThreadsGiveTheBytesOfOne) {
    const std::vector<uint32_t> a = TestFrame(kWidth, kHeight, 11), b = TestFrame(kWidth, kHeight, 12);
    std::vector<uint32_t> want_a, want_b;
    {
        Instance one(kWidth, kHeight);
        SetLook(one);
        want_a = one.Render(a);
        want_b = one.Render(b);
    }
    ASSERT_NE(want_a, a);
    std::vector<uint32_t> got[2][3];
    std::barrier start(2);
    auto work = [&](int t) {
        Instance own(kWidth, kHeight);
        SetLook(own);
        start.arrive_and_wait();
        for (int k = 0; k < 3; ++k) got[t][k] = own.Render((t + k) % 2 ? b : a);
    };
    std::thread first(work, 0), second(work, 1);
    first.join();
    second.join();
    for (int t = 0; t < 2; ++t)
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(got[t][k], (t + k) % 2 ? want_b : want_a) << "thread " << t << " frame " << k;

    // The thread cap is read when the plug-in is first set up; one thread gives the same bytes.
    setenv("KORVANE_THREADS", "1", 1);
    Instance capped(kWidth, kHeight);
    SetLook(capped);
    EXPECT_EQ(capped.Render(a), want_a);
    unsetenv("KORVANE_THREADS");
}

// Threads of this process now.
int ProcessThreads() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

// Instances rendering on the host's threads share the process's one pool (oneTBB's workers, which
// the host core's iteration and the effect's own loops both run on): no instance starts threads of
// its own, so two instances on two threads, sampled while they render turned frames whose grids are
// built on the effect's loops, never run on more than those two, the sampler, the pool's workers
// and the threads already there.
TEST(ConcurrencyFrei0r, InstancesOnSeveralThreadsStartNoThreadsBeyondTheSharedPool) {
    const std::vector<uint32_t> frame = TestFrame(640, 360, 31);
    {
        Instance warm(640, 360);  // the pool's workers, started by a first render
        SetLook(warm);
        warm.Render(frame);
    }
    const int before = ProcessThreads();
    std::atomic<bool> rendering{true};
    std::atomic<int> peak{0};
    std::thread sampler([&] {
        while (rendering.load()) {
            peak = std::max(peak.load(), ProcessThreads());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::barrier start(2);
    auto work = [&](int t) {
        Instance own(640, 360);
        SetLook(own);
        start.arrive_and_wait();
        for (int k = 0; k < 4; ++k) own.Render(frame);
        (void)t;
    };
    std::thread first(work, 0), second(work, 1);
    first.join();
    second.join();
    rendering = false;
    sampler.join();
    const int pool = static_cast<int>(std::max(1u, std::thread::hardware_concurrency())) - 1;
    std::printf("threads: %d before, %d at most while two instances rendered (pool workers at most %d)\n", before,
                peak.load(), pool);
    EXPECT_LE(peak.load(), before + 3 + pool);
}

TEST(ConcurrencyFrei0r, OverlappingCallsOnOneInstanceAreSerialisedWithOneWarning) {
    const std::vector<uint32_t> frame = TestFrame(kWidth, kHeight, 21);
    Instance shared(kWidth, kHeight);
    SetLook(shared);
    const std::vector<uint32_t> want = shared.Render(frame);

    const std::string log = std::string(KORVANE_BINARY_DIR) + "/tests/frei0r-stderr-" + std::to_string(getpid());
    fflush(stderr);
    const int saved = dup(2);
    const int file = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(file, 2);
    constexpr int kThreads = 4;
    std::vector<uint32_t> got[kThreads];
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int k = 0; k < 3; ++k) got[t] = shared.Render(frame);
        });
    }
    for (std::thread& t : threads) t.join();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(file);

    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(got[t], want) << "thread " << t;
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(log.c_str());
    const std::string warnings = text.str();
    size_t count = 0;
    for (size_t at = warnings.find("overlapping calls"); at != std::string::npos;
         at = warnings.find("overlapping calls", at + 1))
        ++count;
    EXPECT_EQ(count, 1u) << warnings;
}

}  // namespace
}  // namespace korvane::frei0r_test
