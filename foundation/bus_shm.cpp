// Shared-memory housekeeping.
//
// Fast DDS keeps one shared-memory segment per participant in /dev/shm,
// "fastrtps_<16 hex digits>", beside a lock file "<segment>_el" that the
// owner holds with flock() while it lives. A program that is killed (the
// console only ever ends that way) leaves both behind. Remove the pairs whose
// lock nobody holds, as Fast DDS's own "shm clean" tool does, so a bench that
// runs for weeks does not fill /dev/shm.
#include "bus_endpoint_detail.h"

#include <cctype>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace {

bool is_segment_lock_name(const char* name)
{
    static const char prefix[] = "fastrtps_";
    const std::size_t plen = sizeof prefix - 1;
    if (std::strncmp(name, prefix, plen) != 0) return false;
    const char* id = name + plen;
    for (int i = 0; i < 16; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(id[i]))) return false;
    }
    return std::strcmp(id + 16, "_el") == 0;
}

}  // namespace

void vantrel_remove_stale_shm_segments(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> locks;
    while (dirent* e = readdir(d)) {
        if (is_segment_lock_name(e->d_name)) locks.emplace_back(e->d_name);
    }
    closedir(d);
    for (const std::string& lock_name : locks) {
        std::string lock_path = dir + "/" + lock_name;
        int fd = ::open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::string segment = lock_path.substr(0, lock_path.size() - 3);
            ::unlink(segment.c_str());
            ::unlink(lock_path.c_str());
        }
        ::close(fd);
    }
}
