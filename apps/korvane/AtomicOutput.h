// The one writer for every file the CLI makes: a temporary file in the same folder, checked writes,
// and a rename into place, so that a failed, full or cancelled write never leaves half a file or
// replaces a good one.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace korvane::cli {

// Every failure throws UsageError "cannot write 'FINAL': REASON" (REASON from strerror, lower
// case). After one, the object is spent: later calls throw the same error, and the temporary file
// goes with the object. Not thread-safe; one writer at a time.
class AtomicOutput {
public:
    // Creates ".STEM.korvane-XXXXXX.EXT" beside `final_path`, mode 0666 & ~umask, open for writing.
    explicit AtomicOutput(std::string final_path);
    ~AtomicOutput();  // closes and removes the temporary file unless committed
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    const std::string& finalPath() const { return final_path_; }
    // For a program or library that writes the file by name itself (its writes are its own to check).
    const std::string& tempPath() const { return temp_path_; }

    // Writes all `size` bytes at the current offset, unbuffered: hand it blocks, not bytes.
    void write(const void* data, std::size_t size);
    // lseek(2) on the temporary file (SEEK_SET, SEEK_CUR, SEEK_END); returns the new offset.
    off_t seek(off_t offset, int whence);
    // Closes the file, checking the close, and renames it onto the final path.
    void commit();

private:
    [[noreturn]] void fail(int error);

    std::string final_path_;
    std::string temp_path_;
    int fd_ = -1;
    int error_ = 0;  // the errno of the first failure
    bool committed_ = false;
};

}  // namespace korvane::cli
