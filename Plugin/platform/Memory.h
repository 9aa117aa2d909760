// How much memory the system can give this process, for the render's check before a frame.
#pragma once

namespace korvane::platform {

// Memory the system can give this process now: MemAvailable, or the free physical pages where it
// cannot be read, and no more than the memory cgroup still allows; infinity when nothing can be
// read.
double AvailableMemory();

}  // namespace korvane::platform
