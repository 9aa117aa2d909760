// Acquiring host suites from the effect: a scoped wrapper for one suite (reporting a missing suite
// as a code, or throwing it as a PF_Err that EffectMain turns into the command's result), and a
// per-command cache that acquires each suite on first use and throws when one is missing. Both
// release what they acquired at scope end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "korvane/sdk/Effect.h"
#include "korvane/sdk/Suites.h"

namespace korvane {

inline constexpr char kMissingSuiteMessage[] = "Not able to acquire AEFX Suite.";

// Shows `message` to the user through out_data (bounded copy, always NUL-terminated).
inline void SetReturnMessage(PF_OutData* out_data, const char* message) {
    if (out_data == nullptr) return;
    out_data->out_flags |= PF_OutFlag_DISPLAY_ERROR_MESSAGE;
    std::strncpy(out_data->return_msg, message, PF_MAX_RETURN_MSG - 1);
    out_data->return_msg[PF_MAX_RETURN_MSG - 1] = '\0';
}

// A suite acquired from the basic suite for one scope and released at its end. When the host does
// not provide it, the user is shown `message` through out_data and result() is
// PF_Err_BAD_CALLBACK_PARAM; nothing is thrown.
template <typename SuiteT>
class ReportedSuite {
public:
    ReportedSuite(const PF_InData* in_data, PF_OutData* out_data, const char* name, int32_t version,
                  const char* message)
        : basic_(in_data != nullptr ? in_data->pica_basicP : nullptr), name_(name), version_(version) {
        const void* suite = nullptr;
        if (basic_ != nullptr && basic_->AcquireSuite != nullptr &&
            basic_->AcquireSuite(name_, version_, &suite) == kSPNoError) {
            acquired_ = true;
            suite_ = static_cast<const SuiteT*>(suite);
        }
        if (suite_ == nullptr) SetReturnMessage(out_data, message);
    }
    ~ReportedSuite() {
        if (acquired_ && basic_->ReleaseSuite != nullptr) basic_->ReleaseSuite(name_, version_);
    }
    ReportedSuite(const ReportedSuite&) = delete;
    ReportedSuite& operator=(const ReportedSuite&) = delete;

    PF_Err result() const { return suite_ != nullptr ? PF_Err_NONE : PF_Err_BAD_CALLBACK_PARAM; }
    const SuiteT* get() const { return suite_; }
    const SuiteT* operator->() const { return suite_; }
    const SuiteT& operator*() const { return *suite_; }

private:
    const SPBasicSuite* basic_;
    const char* name_;
    int32_t version_;
    const SuiteT* suite_ = nullptr;
    bool acquired_ = false;
};

// A ReportedSuite for code that unwinds on failure: when the host does not provide the suite, the
// user is told "Not able to acquire AEFX Suite." and A_Err_MISSING_SUITE (13) is thrown.
template <typename SuiteT>
class ScopedSuite : public ReportedSuite<SuiteT> {
public:
    ScopedSuite(const PF_InData* in_data, PF_OutData* out_data, const char* name, int32_t version)
        : ReportedSuite<SuiteT>(in_data, out_data, name, version, kMissingSuiteMessage) {
        if (this->get() == nullptr) throw static_cast<PF_Err>(A_Err_MISSING_SUITE);
    }
};

// The suites of one command invocation, acquired on first use and all released when the cache goes
// out of scope. A missing suite, or a cache made without a basic suite, throws
// PF_Err_BAD_CALLBACK_PARAM (516). Not shared between threads: each call makes its own.
class SuiteCache {
public:
    explicit SuiteCache(const SPBasicSuite* basic) : basic_(basic) {
        if (basic_ == nullptr || basic_->AcquireSuite == nullptr) {
            throw static_cast<PF_Err>(PF_Err_BAD_CALLBACK_PARAM);
        }
    }
    ~SuiteCache() {
        for (auto it = acquired_.rbegin(); it != acquired_.rend(); ++it) {
            if (basic_->ReleaseSuite != nullptr) basic_->ReleaseSuite(it->name.c_str(), it->version);
        }
    }
    SuiteCache(const SuiteCache&) = delete;
    SuiteCache& operator=(const SuiteCache&) = delete;

    template <typename SuiteT>
    const SuiteT* Get(const char* name, int32_t version) {
        return static_cast<const SuiteT*>(GetRaw(name, version));
    }

private:
    struct Entry {
        std::string name;
        int32_t version;
        const void* suite;
    };

    const void* GetRaw(const char* name, int32_t version) {
        for (const Entry& entry : acquired_) {
            if (entry.version == version && entry.name == name) return entry.suite;
        }
        acquired_.reserve(acquired_.size() + 1);  // so that recording an acquired suite cannot throw
        Entry entry{name, version, nullptr};
        if (basic_->AcquireSuite(name, version, &entry.suite) != kSPNoError) {
            throw static_cast<PF_Err>(PF_Err_BAD_CALLBACK_PARAM);
        }
        const void* suite = entry.suite;
        acquired_.push_back(std::move(entry));
        if (suite == nullptr) throw static_cast<PF_Err>(PF_Err_BAD_CALLBACK_PARAM);
        return suite;
    }

    const SPBasicSuite* basic_;
    std::vector<Entry> acquired_;
};

}  // namespace korvane
