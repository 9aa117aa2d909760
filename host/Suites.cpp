// The basic suite (acquire and release by name and version, counted) and the small suites:
// handles, AEGP utility and parameter UI updates. The look suite lives in Looks.cpp.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "CallbackEntry.h"
#include "HostState.h"

namespace korvane::host {

namespace {

// ---- PF Handle Suite 2

HandleRecord* FindHandle(Host::State& host, PF_Handle h) {
    const auto it = host.handles.find(static_cast<const void*>(h));
    return it == host.handles.end() ? nullptr : it->second.get();
}

PF_Handle NewHandle(A_u_longlong size) {
    Host::State* host = CurrentHost();
    if (!host || host->Hit("host_new_handle")) return nullptr;
    auto record = std::make_unique<HandleRecord>();
    record->host = host;
    record->size = size;
    record->data = std::calloc(size ? size : 1, 1);
    if (!record->data) return nullptr;
    auto* handle = reinterpret_cast<PF_Handle>(&record->data);
    std::lock_guard lock(host->mutex);
    host->handles.emplace(static_cast<const void*>(handle), std::move(record));
    return handle;
}

void* LockHandle(PF_Handle h) {
    Host::State* host = CurrentHost();
    if (!host || host->Hit("host_lock_handle")) return nullptr;
    std::lock_guard lock(host->mutex);
    HandleRecord* record = FindHandle(*host, h);
    if (!record) {
        host->leak_messages.push_back("host_lock_handle of a handle the host did not make");
        return nullptr;
    }
    ++record->locks;
    return record->data;
}

void UnlockHandle(PF_Handle h) {
    Host::State* host = CurrentHost();
    if (!host) return;
    std::lock_guard lock(host->mutex);
    HandleRecord* record = FindHandle(*host, h);
    if (!record) {
        host->leak_messages.push_back("host_unlock_handle of a handle the host did not make");
        return;
    }
    if (record->locks > 0) --record->locks;
}

void DisposeHandleFn(PF_Handle h) {
    if (Host::State* host = CurrentHost()) host->DisposeHandle(h);
}

A_u_longlong HandleSize(PF_Handle h) {
    Host::State* host = CurrentHost();
    if (!host) return 0;
    std::lock_guard lock(host->mutex);
    HandleRecord* record = FindHandle(*host, h);
    return record ? record->size : 0;
}

PF_Err ResizeHandle(A_u_longlong size, PF_Handle* h) {
    Host::State* host = CurrentHost();
    if (!host || !h) return PF_Err_BAD_CALLBACK_PARAM;
    std::lock_guard lock(host->mutex);
    HandleRecord* record = FindHandle(*host, *h);
    if (!record) return PF_Err_BAD_CALLBACK_PARAM;
    void* data = std::realloc(record->data, size ? size : 1);
    if (!data) return PF_Err_OUT_OF_MEMORY;
    if (size > record->size) std::memset(static_cast<char*>(data) + record->size, 0, size - record->size);
    record->data = data;
    record->size = size;
    return PF_Err_NONE;
}

const PF_HandleSuite2 kHandleSuite = {&NewHandle,       &LockHandle, &UnlockHandle,
                                      &DisposeHandleFn, &HandleSize, &ResizeHandle};

// ---- AEGP Utility Suite 11

A_Err ReportInfo(AEGP_PluginID, const A_char*) { return A_Err_NONE; }

A_Err RegisterWithAEGP(AEGP_GlobalRefcon, const A_char* plugin_name, AEGP_PluginID* plugin_id) {
    const auto [host, entry_err] = EnterHost("AEGP_RegisterWithAEGP");
    if (entry_err) return entry_err;
    if (!plugin_id) return A_Err_PARAMETER;
    std::lock_guard lock(host->mutex);
    host->aegp_name = plugin_name ? plugin_name : "";
    host->aegp_id = 4242;
    *plugin_id = host->aegp_id;
    return A_Err_NONE;
}

const AEGP_UtilitySuite11 kUtilitySuite = {&ReportInfo, &RegisterWithAEGP};

// ---- PF Param Utils Suite 3

PF_Err UpdateParamUI(PF_ProgPtr ref, A_long index, const PF_ParamDef* def) {
    const auto [ctx, entry_err] = EnterCall(ref, "PF_UpdateParamUI");
    if (entry_err) return entry_err;
    Host::State& host = *ctx->host;
    if (!def) return PF_Err_BAD_CALLBACK_PARAM;
    if (index < 1 || index >= static_cast<A_long>(host.params.size())) return PF_Err_INVALID_INDEX;
    // The control shows the new UI flags from now on, as the effect will see in params[].
    host.params[index].def.ui_flags = def->ui_flags;
    std::lock_guard lock(host.mutex);
    host.ui_updates.push_back({index, *def});
    return PF_Err_NONE;
}

const PF_ParamUtilsSuite3 kParamUtilsSuite = {&UpdateParamUI};

// ---- The basic suite

const void* FindSuite(std::string_view name, int32_t version) {
    struct Entry {
        std::string_view name;
        int32_t version;
        const void* suite;
    };
    const Entry table[] = {
        {kPFHandleSuite, 2, &kHandleSuite},
        {kPFWorldSuite, 1, &kWorldSuite1},
        {kPFWorldSuite, 2, &kWorldSuite2},
        {kPFIterate8Suite, 1, IterateSuite(8)},
        {kPFIterate16Suite, 1, IterateSuite(16)},
        {kPFIterateFloatSuite, 1, IterateSuite(32)},
        {kAEGPUtilitySuite, 11, &kUtilitySuite},
        {kPFParamUtilsSuite, 3, &kParamUtilsSuite},
        {kPFPixelFormatSuite, 1, &kPixelFormatSuite},
        {kAEGPPFInterfaceSuite, 1, &kPFInterfaceSuite},
        {kAEGPLayerMaskSuite, 5, &kLayerMaskSuite},
        {kAEGPLayerMaskSuite, 7, &kLayerMaskSuite},
        {kPFPathQuerySuite, 1, &kPathQuerySuite},
        {kPFPathDataSuite, 1, &kPathDataSuite},
        {kPFMaskSuite, 1, &kMaskSuite},
        {kKorvaneLookSuite, 1, &kLookSuite},
    };
    for (const Entry& e : table) {
        if (e.name == name && e.version == version) return e.suite;
    }
    return nullptr;
}

SPErr AcquireSuite(const char* name, int32_t version, const void** suite) {
    if (suite) *suite = nullptr;
    Host::State* host = CurrentHost();
    if (!host || !name || !suite) return kSPSuiteNotFoundError;
    if (const PF_Err fault = host->Hit("AcquireSuite")) return fault;
    const void* found = FindSuite(name, version);
    std::lock_guard lock(host->mutex);
    if (!found || host->missing_suites.count({name, version})) return kSPSuiteNotFoundError;
    ++host->suite_counts[{name, version}].first;
    *suite = found;
    return kSPNoError;
}

SPErr ReleaseSuite(const char* name, int32_t version) {
    Host::State* host = CurrentHost();
    if (!host || !name) return kSPSuiteNotFoundError;
    std::lock_guard lock(host->mutex);
    auto& counts = host->suite_counts[{name, version}];
    ++counts.second;
    return kSPNoError;
}

}  // namespace

const SPBasicSuite kBasicSuite = {&AcquireSuite, &ReleaseSuite};

PF_Err Host::State::DisposeHandle(PF_Handle h) {
    std::lock_guard lock(mutex);
    const auto it = handles.find(static_cast<const void*>(h));
    if (it == handles.end()) {
        leak_messages.push_back("host_dispose_handle of a handle the host did not make (or disposed twice)");
        return PF_Err_BAD_CALLBACK_PARAM;
    }
    std::free(it->second->data);
    handles.erase(it);
    return PF_Err_NONE;
}

}  // namespace korvane::host
