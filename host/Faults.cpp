// Fault injection, progress and cancellation, and the leak and balance report.
#include <algorithm>

#include "CallbackEntry.h"
#include "HostState.h"

namespace korvane::host {

PF_Err Host::State::Hit(std::string_view name) {
    std::lock_guard lock(mutex);
    auto it = calls.find(name);
    if (it == calls.end()) it = calls.emplace(std::string(name), 0).first;
    const long n = ++it->second;
    for (const Fault& f : faults) {
        if (f.name == name && (n == f.fire_at || (f.every_later && n > f.fire_at))) return f.code;
    }
    return PF_Err_NONE;
}

void Host::State::Note(std::string message) {
    std::lock_guard lock(mutex);
    leak_messages.push_back(std::move(message));
}

void Host::FailCall(const std::string& name, int nth, PF_Err code, bool every_later) {
    if (nth < 1) throw HostError("FailCall: nth counts from 1");
    std::lock_guard lock(state_->mutex);
    const auto it = state_->calls.find(name);
    const long done = it == state_->calls.end() ? 0 : it->second;
    state_->faults.push_back({name, done + nth, code, every_later});
}

void Host::ClearFaults() {
    std::lock_guard lock(state_->mutex);
    state_->faults.clear();
}

long Host::call_count(const std::string& name) const {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->calls.find(name);
    return it == state_->calls.end() ? 0 : it->second;
}

void Host::SetSuiteMissing(const std::string& name, int version, bool missing) {
    std::lock_guard lock(state_->mutex);
    if (missing)
        state_->missing_suites.insert({name, version});
    else
        state_->missing_suites.erase({name, version});
}

void Host::SetNullBasicSuite(bool null_basic_suite) { state_->null_basic_suite = null_basic_suite; }

// ---- Progress and cancellation

void Host::SetProgressListener(std::function<void(A_long, A_long)> listener) {
    state_->progress_listener = std::move(listener);
}

void Host::Cancel() { state_->cancel.store(true, std::memory_order_relaxed); }

void Host::CancelAtProgress(int nth) {
    if (nth < 1) throw HostError("CancelAtProgress: nth counts from 1");
    state_->cancel_at.store(state_->progress_count.load() + nth);
}

void Host::ResetCancel() {
    state_->cancel.store(false);
    state_->cancel_at.store(0);
}

bool Host::cancelled() const { return state_->cancel.load(std::memory_order_relaxed); }
long Host::progress_calls() const { return state_->progress_count.load(); }

PF_Err Progress(PF_ProgPtr ref, A_long current, A_long total) {
    CallContext* ctx = ResolveCall(ref);
    if (!ctx) return PF_Err_BAD_CALLBACK_PARAM;
    Host::State& host = *ctx->host;
    const long n = ++host.progress_count;
    const long at = host.cancel_at.load();
    if (at > 0 && n >= at) host.cancel.store(true);
    if (host.progress_listener) host.progress_listener(current, total);
    if (const PF_Err fault = host.Hit("progress")) return fault;
    return host.cancel.load() ? PF_Interrupt_CANCEL : PF_Err_NONE;
}

PF_Err Abort(PF_ProgPtr ref) {
    const auto [ctx, entry_err] = EnterCall(ref, "abort");
    if (entry_err) return entry_err;
    return ctx->host->cancel.load() ? PF_Interrupt_CANCEL : PF_Err_NONE;
}

// ---- Leaks and balance

LeakReport Host::Report() const {
    const State& s = *state_;
    std::lock_guard lock(s.mutex);
    LeakReport r;
    r.live_handles = static_cast<int>(s.handles.size());
    r.live_worlds = static_cast<int>(s.worlds.size());
    r.unbalanced_param_checkouts = s.unbalanced_checkouts;
    r.open_layer_checkouts = s.open_layer_checkouts;
    r.open_paths = static_cast<int>(s.paths.size());
    r.live_mask_refs = static_cast<int>(s.mask_refs.size());
    r.reclaimed_worlds = s.reclaimed_worlds;
    r.stray_checkins = s.stray_checkins;
    r.messages = s.leak_messages;
    for (const auto& [key, h] : s.handles) {
        r.messages.push_back("handle of " + std::to_string(h->size) + " bytes was not disposed" +
                             (key == static_cast<const void*>(s.global_data) ? " (the global data)" : ""));
    }
    for (const auto& [key, w] : s.worlds) {
        r.messages.push_back("world " + std::to_string(w.world.width()) + "x" + std::to_string(w.world.height()) +
                             " made during " + CommandName(w.cmd) + " is still live");
    }
    for (const auto& [key, p] : s.paths) r.messages.push_back("path " + std::to_string(p->id) + " is checked out");
    for (const auto& [key, m] : s.mask_refs) {
        r.messages.push_back("mask reference " + std::to_string(m->id) + " was not disposed");
    }
    for (const auto& [suite, counts] : s.suite_counts) {
        const int open = counts.first - counts.second;
        if (open != 0) {
            r.unreleased_suites += std::max(open, 0);
            r.messages.push_back("suite \"" + suite.first + "\" version " + std::to_string(suite.second) +
                                 " acquired " + std::to_string(counts.first) + " times, released " +
                                 std::to_string(counts.second) + " times");
        }
    }
    return r;
}

std::vector<std::string> Host::Leaks() const { return Report().messages; }

void Host::ClearLeaks() {
    std::lock_guard lock(state_->mutex);
    state_->leak_messages.clear();
    state_->reclaimed_worlds = 0;
    state_->stray_checkins = 0;
    state_->unbalanced_checkouts = 0;
    state_->open_layer_checkouts = 0;
}

int Host::suite_acquires(const std::string& name, int version) const {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->suite_counts.find({name, version});
    return it == state_->suite_counts.end() ? 0 : it->second.first;
}

int Host::suite_releases(const std::string& name, int version) const {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->suite_counts.find({name, version});
    return it == state_->suite_counts.end() ? 0 : it->second.second;
}

}  // namespace korvane::host
