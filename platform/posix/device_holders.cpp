// The processes that hold a device open, from /proc/<pid>/fd: each entry there is a link to an
// open file, and stat through it gives the file's own numbers. Only links whose target is a
// path are looked at, each target once per scan; sockets, pipes and anonymous inodes
// ("socket:[...]") are passed over without a stat.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "platform/device_holders.h"

namespace {

// Pseudo-terminals: the slaves have the majors 136 to 143 (/dev/pts/N), the master side is
// the multiplexer /dev/ptmx (5, 2).
bool IsPseudoTerminal(dev_t device) {
    const unsigned int majorNumber = major(device);
    return (majorNumber >= 136 && majorNumber <= 143) || (majorNumber == 5 && minor(device) == 2);
}

// The decimal process number of a /proc entry; 0 for anything else ("self", "sys", ...).
uint32_t ProcessNumber(const char* name) {
    uint32_t pid = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || pid > 400000000) {
            return 0;
        }
        pid = pid * 10 + static_cast<uint32_t>(*p - '0');
    }
    return pid;
}

// What the stat of a link's target said, by the target's text: processes share most of their
// open files (/dev/null, a terminal, libraries), so each is looked at once per scan.
using TargetCache = std::unordered_map<std::string, bool>;

// Whether one of the open files in the fd directory `fdDir` is the character device `device`.
bool HoldsDevice(int fdDir, dev_t device, TargetCache& cache) {
    DIR* dir = fdopendir(fdDir);
    if (dir == nullptr) {
        close(fdDir);
        return false;
    }
    bool found = false;
    std::array<char, 256> target{};
    while (!found) {
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            break;
        }
        if (entry->d_name[0] == '.') {
            continue;
        }
        const ssize_t length = readlinkat(dirfd(dir), entry->d_name, target.data(), target.size());
        // Sockets, pipes and anonymous inodes ("socket:[...]") are not paths.
        if (length < 1 || target[0] != '/') {
            continue;
        }
        const std::string text(target.data(), static_cast<std::size_t>(length));
        const auto known = cache.find(text);
        if (known != cache.end()) {
            found = known->second;
            continue;
        }
        struct stat info {};
        found = fstatat(dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISCHR(info.st_mode) &&
                info.st_rdev == device;
        // A name cut short by the buffer may stand for several files: not remembered.
        if (static_cast<std::size_t>(length) < target.size()) {
            cache.emplace(text, found);
        }
    }
    closedir(dir);
    return found;
}

std::string ProgramName(int procDir, const char* pid) {
    std::string path = pid;
    path += "/comm";
    const int fd = openat(procDir, path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "?";
    }
    std::array<char, 64> text{};
    const ssize_t n = read(fd, text.data(), text.size() - 1);
    close(fd);
    std::string name(text.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) {
        name.pop_back();
    }
    return name.empty() ? "?" : name;
}

}  // namespace

std::vector<DeviceHolder> FindDeviceHolders(const char* procRoot, const char* device,
                                            uint32_t ownPid) {
    std::vector<DeviceHolder> holders;
    struct stat deviceInfo {};
    if (device == nullptr || stat(device, &deviceInfo) != 0 || !S_ISCHR(deviceInfo.st_mode) ||
        IsPseudoTerminal(deviceInfo.st_rdev)) {
        return holders;
    }
    DIR* proc = opendir(procRoot);
    if (proc == nullptr) {
        return holders;
    }
    TargetCache cache;
    while (const dirent* entry = readdir(proc)) {
        const uint32_t pid = ProcessNumber(entry->d_name);
        if (pid == 0 || pid == ownPid) {
            continue;
        }
        std::string fdPath = entry->d_name;
        fdPath += "/fd";
        const int fdDir = openat(dirfd(proc), fdPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fdDir >= 0 && HoldsDevice(fdDir, deviceInfo.st_rdev, cache)) {
            holders.push_back({pid, ProgramName(dirfd(proc), entry->d_name)});
        }
    }
    closedir(proc);
    return holders;
}
