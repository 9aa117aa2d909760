// Temporary file, checked writes, rename.
#include "AtomicOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "Errors.h"
#include "TestHooks.h"

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
    // Close-on-exec, so that an encoder started while the file is open does not hold it too.
    fd_ = mkostemps(buffer.data(), static_cast<int>(extension.size()), O_CLOEXEC);
    if (fd_ < 0) fail(errno);
    temp_path_ = buffer.data();
    // mkstemps makes the file private; give it the permissions a new file normally gets.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
}

AtomicOutput::~AtomicOutput() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !temp_path_.empty()) std::remove(temp_path_.c_str());
}

void AtomicOutput::fail(int error) {
    if (error_ == 0) {
        error_ = error;
        // Give the space back now: a caller may catch this and carry on before the object goes.
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (!temp_path_.empty()) std::remove(temp_path_.c_str());
        temp_path_.clear();
    }
    std::string reason = std::strerror(error_);
    if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    throw UsageError("cannot write '" + final_path_ + "': " + reason);
}

void AtomicOutput::write(const void* data, std::size_t size) {
    if (error_ != 0 || fd_ < 0) fail(error_ != 0 ? error_ : EBADF);
    if (failThisWriteForTestHook()) fail(ENOSPC);
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd_, bytes, size);
        if (written < 0 && errno == EINTR) continue;  // a signal before anything was written
        if (written < 0) fail(errno);
        if (written == 0) fail(EIO);
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

off_t AtomicOutput::seek(off_t offset, int whence) {
    if (error_ != 0 || fd_ < 0) fail(error_ != 0 ? error_ : EBADF);
    const off_t at = ::lseek(fd_, offset, whence);
    if (at < 0) fail(errno);
    return at;
}

void AtomicOutput::commit() {
    if (error_ != 0 || fd_ < 0) fail(error_ != 0 ? error_ : EBADF);
    const bool injected = failThisWriteForTestHook();
    // Some file systems (NFS) report a full disk only when the file is closed; the descriptor is
    // gone whatever close says.
    const int closed = ::close(fd_);
    const int close_error = errno;
    fd_ = -1;
    if (injected) fail(ENOSPC);
    if (closed != 0) fail(close_error);
    if (std::rename(temp_path_.c_str(), final_path_.c_str()) != 0) fail(errno);
    committed_ = true;
}

}  // namespace korvane::cli
