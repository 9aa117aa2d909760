#include "platform/Memory.h"

#include <algorithm>
#include <fstream>
#include <limits>
#include <string>

#include <unistd.h>

namespace korvane::platform {

namespace {

// A number from /proc/meminfo in bytes, or a negative value when it cannot be read.
double MemInfoBytes(const std::string& key) {
    std::ifstream meminfo("/proc/meminfo");
    std::string name;
    double kib = 0.0;
    std::string unit;
    while (meminfo >> name >> kib) {
        std::getline(meminfo, unit);
        if (name == key + ":") return kib * 1024.0;
    }
    return -1.0;
}

// What the cgroup this process runs in still allows, or a negative value without a limit.
double CgroupHeadroomBytes() {
    std::ifstream max_file("/sys/fs/cgroup/memory.max");
    std::ifstream current_file("/sys/fs/cgroup/memory.current");
    std::string max_text;
    double current = 0.0;
    if (!(max_file >> max_text) || !(current_file >> current) || max_text == "max") return -1.0;
    try {
        return std::max(0.0, std::stod(max_text) - current);
    } catch (...) {
        return -1.0;
    }
}

}  // namespace

double AvailableMemory() {
    double available = MemInfoBytes("MemAvailable");
    if (available < 0.0) {
        const long pages = sysconf(_SC_AVPHYS_PAGES);
        const long page_size = sysconf(_SC_PAGESIZE);
        if (pages > 0 && page_size > 0) available = static_cast<double>(pages) * static_cast<double>(page_size);
    }
    const double cgroup = CgroupHeadroomBytes();
    if (cgroup >= 0.0 && (available < 0.0 || cgroup < available)) available = cgroup;
    return available < 0.0 ? std::numeric_limits<double>::infinity() : available;
}

}  // namespace korvane::platform
