// A browser runs no programs: the effect's help link (xdg-open) is not opened from the module, and
// the page links to the help itself.
#include <spawn.h>

#include <cerrno>

extern "C" int posix_spawnp(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                            char* const[], char* const[]) {
    return ENOSYS;
}
