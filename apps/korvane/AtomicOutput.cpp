// Temporary file plus rename.
#include "AtomicOutput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "Errors.h"

namespace korvane::cli {

AtomicOutput::AtomicOutput(std::string final_path) : final_path_(std::move(final_path)) {
    const std::filesystem::path target(final_path_);
    const std::string extension = target.extension().string();
    // ".name.korvane-XXXXXX.ext" next to the target, so the rename stays on one file system.
    const std::filesystem::path temp = target.parent_path() /
                                       ("." + target.stem().string() + ".korvane-XXXXXX" + extension);
    std::string pattern = temp.string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = mkstemps(buffer.data(), static_cast<int>(extension.size()));
    if (fd < 0) throw UsageError("cannot write '" + final_path_ + "': " + std::strerror(errno));
    // mkstemps makes the file private; give it the permissions a new file normally gets.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    temp_path_ = buffer.data();
}

AtomicOutput::~AtomicOutput() {
    if (!committed_) std::remove(temp_path_.c_str());
}

void AtomicOutput::commit() {
    if (std::rename(temp_path_.c_str(), final_path_.c_str()) != 0)
        throw UsageError("cannot write '" + final_path_ + "': " + std::strerror(errno));
    committed_ = true;
}

}  // namespace korvane::cli
