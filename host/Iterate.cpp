// The iterate suites: per-pixel iteration over rows and generic iteration, on oneTBB with the
// host's thread count, stopping at the first error or at cancellation.
#include <atomic>
#include <thread>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "CallbackEntry.h"
#include "korvane/sdk/ForkJoinEdges.h"

namespace korvane::host {

namespace {

int ArenaThreads(const Host::State& host) {
    if (host.threads > 0) return host.threads;
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

// The error of the lowest index that failed, so the answer does not depend on scheduling.
class FirstError {
public:
    void Record(A_long index, PF_Err err) {
        std::lock_guard lock(mutex_);
        if (!failed_ || index < index_) {
            failed_ = true;
            index_ = index;
            err_ = err;
        }
    }
    bool failed() const { return failed_; }  // read after the parallel loop has joined
    PF_Err error() const { return err_; }

private:
    std::mutex mutex_;
    bool failed_ = false;
    A_long index_ = 0;
    PF_Err err_ = PF_Err_NONE;
};

template <typename Pixel>
constexpr int DepthOf() {
    return sizeof(Pixel) == 4 ? 8 : sizeof(Pixel) == 8 ? 16 : 32;
}

template <typename Pixel>
PF_Err IterateRows(PF_InData* in_data, A_long /*progress_base*/, A_long /*progress_final*/, PF_EffectWorld* src,
                   const PF_Rect* area, void* refcon, PF_Err (*pix_fn)(void*, A_long, A_long, Pixel*, Pixel*),
                   PF_EffectWorld* dst) {
    const auto [ctx, entry_err] = EnterCall(in_data ? in_data->effect_ref : nullptr, "iterate");
    if (entry_err) return entry_err;
    Host::State& host = *ctx->host;
    if (!dst || !dst->data || !pix_fn) return PF_Err_BAD_CALLBACK_PARAM;
    constexpr int depth = DepthOf<Pixel>();
    if (FormatOf(*dst).depth != depth || (src && src->data && FormatOf(*src).depth != depth)) {
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    PF_Rect r{0, 0, dst->width, dst->height};
    if (area) {
        r = {std::max(area->left, 0), std::max(area->top, 0), std::min(area->right, dst->width),
             std::min(area->bottom, dst->height)};
    }
    const bool has_src = src && src->data;
    if (has_src && (src->width < r.right || src->height < r.bottom)) return PF_Err_BAD_CALLBACK_PARAM;
    if (host.cancel.load()) return PF_Interrupt_CANCEL;
    if (r.left >= r.right || r.top >= r.bottom) return PF_Err_NONE;

    FirstError first;
    std::atomic<bool> stop{false};
    ForkJoinEdges edges;
    edges.BeforeFork();
    tbb::task_arena arena(ArenaThreads(host));
    arena.execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<A_long>(r.top, r.bottom, 1), EdgedBody([&](const tbb::blocked_range<A_long>& rows) {
                edges.TaskBegin();
                struct End {
                    ForkJoinEdges& e;
                    ~End() { e.TaskEnd(); }
                } end{edges};
                for (A_long y = rows.begin(); y != rows.end(); ++y) {
                    if (stop.load(std::memory_order_relaxed)) return;
                    if (host.cancel.load(std::memory_order_relaxed)) {
                        stop = true;
                        return;
                    }
                    auto* out_row = reinterpret_cast<Pixel*>(static_cast<char*>(dst->data) + size_t(dst->rowbytes) * y);
                    auto* in_row = has_src ? reinterpret_cast<Pixel*>(static_cast<char*>(src->data) +
                                                                      size_t(src->rowbytes) * y)
                                           : nullptr;
                    for (A_long x = r.left; x < r.right; ++x) {
                        const PF_Err err = pix_fn(refcon, x, y, in_row ? in_row + x : nullptr, out_row + x);
                        if (err) {
                            first.Record(y, err);
                            stop = true;
                            return;
                        }
                    }
                }
            }));
    });
    edges.AfterJoin();
    if (first.failed()) return first.error();
    return host.cancel.load() ? PF_Interrupt_CANCEL : PF_Err_NONE;
}

PF_Err IterateGeneric(A_long iterations, void* refcon, PF_IterateGenericFunc fn) {
    Host::State* host = CurrentHost();
    if (!host) return PF_Err_BAD_CALLBACK_PARAM;
    if (const PF_Err fault = host->Hit("iterate_generic")) return fault;
    if (!fn) return PF_Err_BAD_CALLBACK_PARAM;
    const int threads = ArenaThreads(*host);
    // -1 asks for one call per processor.
    const A_long n = iterations == -1 ? threads : iterations;
    if (n < 0) return PF_Err_BAD_CALLBACK_PARAM;
    if (host->cancel.load()) return PF_Interrupt_CANCEL;

    FirstError first;
    std::atomic<bool> stop{false};
    ForkJoinEdges edges;
    edges.BeforeFork();
    tbb::task_arena arena(threads);
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<A_long>(0, n, 1), EdgedBody([&](const tbb::blocked_range<A_long>& items) {
                              edges.TaskBegin();
                              struct End {
                                  ForkJoinEdges& e;
                                  ~End() { e.TaskEnd(); }
                              } end{edges};
                              const A_long thread_index = tbb::this_task_arena::current_thread_index();
                              for (A_long i = items.begin(); i != items.end(); ++i) {
                                  if (stop.load(std::memory_order_relaxed)) return;
                                  if (host->cancel.load(std::memory_order_relaxed)) {
                                      stop = true;
                                      return;
                                  }
                                  if (const PF_Err err = fn(refcon, thread_index, i, n)) {
                                      first.Record(i, err);
                                      stop = true;
                                      return;
                                  }
                              }
                          }));
    });
    edges.AfterJoin();
    if (first.failed()) return first.error();
    return host->cancel.load() ? PF_Interrupt_CANCEL : PF_Err_NONE;
}

PF_Err Iterate8(PF_InData* in_data, A_long base, A_long final, PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                PF_IteratePixel8Func fn, PF_EffectWorld* dst) {
    return IterateRows<PF_Pixel8>(in_data, base, final, src, area, refcon, fn, dst);
}
PF_Err Iterate16(PF_InData* in_data, A_long base, A_long final, PF_EffectWorld* src, const PF_Rect* area, void* refcon,
                 PF_IteratePixel16Func fn, PF_EffectWorld* dst) {
    return IterateRows<PF_Pixel16>(in_data, base, final, src, area, refcon, fn, dst);
}
PF_Err IterateFloat(PF_InData* in_data, A_long base, A_long final, PF_EffectWorld* src, const PF_Rect* area,
                    void* refcon, PF_IteratePixelFloatFunc fn, PF_EffectWorld* dst) {
    return IterateRows<PF_PixelFloat>(in_data, base, final, src, area, refcon, fn, dst);
}

const PF_Iterate8Suite1 kIterate8 = {&Iterate8, &IterateGeneric};
const PF_iterate16Suite1 kIterate16 = {&Iterate16, &IterateGeneric};
const PF_iterateFloatSuite1 kIterateFloat = {&IterateFloat, &IterateGeneric};

}  // namespace

const void* IterateSuite(int depth) {
    return depth == 8    ? static_cast<const void*>(&kIterate8)
           : depth == 16 ? static_cast<const void*>(&kIterate16)
                         : static_cast<const void*>(&kIterateFloat);
}

}  // namespace korvane::host
