// An output file written under a temporary name in the same folder and renamed into place, so
// that a failed or cancelled render never leaves half a file or replaces a good one.
#pragma once

#include <string>

namespace korvane::cli {

class AtomicOutput {
public:
    explicit AtomicOutput(std::string final_path);  // creates the temporary file; throws UsageError
    ~AtomicOutput();                                // removes the temporary file unless committed
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    const std::string& tempPath() const { return temp_path_; }
    void commit();  // renames the temporary file onto the final path; throws UsageError

private:
    std::string final_path_;
    std::string temp_path_;
    bool committed_ = false;
};

}  // namespace korvane::cli
