// Serial device facts on POSIX: errno values by kind, the USB serial devices under /dev by name,
// and who may open a device.
#include "platform/devices.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/errors.h"

namespace {

// The names in `directory` that begin with `prefix` (all names but "." and ".." for an empty
// prefix), sorted, each with `shownAs` in front.
void AddNames(const std::string& directory, const char* prefix, const std::string& shownAs,
              std::vector<std::string>& names) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        return;
    }
    std::vector<std::string> found;
    const size_t prefixLength = std::strlen(prefix);
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        if (std::strncmp(name, prefix, prefixLength) == 0) {
            found.push_back(shownAs + name);
        }
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    names.insert(names.end(), found.begin(), found.end());
}

}  // namespace

PortFailure ClassifyPortError(uint32_t value) {
    switch (value) {
        case ENOENT:
            return PortFailure::Missing;
        case EACCES:
        case EPERM:
            return PortFailure::NoPermission;
        case EBUSY:
            return PortFailure::Busy;
        case ENOTTY:
        case EISDIR:
            return PortFailure::NotASerialPort;
        case EIO:
        case ENXIO:
        case ENODEV:
        case ErrorOperationAborted:
            return PortFailure::DeviceGone;
        default:
            return PortFailure::Other;
    }
}

bool PortsAreNamedByVariables() {
    return true;
}

PortDeviceChoice ChoosePortDevice(int portNumber, const char* variableValue) {
    static constexpr std::array<const char*, 4> Defaults{"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                                                         "/dev/ttyS3"};
    if (portNumber < 1 || portNumber > 4) {
        return {};
    }
    if (variableValue == nullptr || *variableValue == '\0') {
        return {Defaults[static_cast<size_t>(portNumber - 1)], true};
    }
    return {variableValue, false};
}

int ListSerialDevices(const char* deviceRoot, std::span<char> out) {
    std::vector<std::string> names;
    const std::string root = deviceRoot;
    AddNames(root + "/serial/by-id", "", root + "/serial/by-id/", names);
    AddNames(root, "ttyUSB", root + "/", names);
    AddNames(root, "ttyACM", root + "/", names);
    if (out.empty()) {
        return static_cast<int>(names.size());
    }
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    if (text.size() >= out.size()) {
        // Cut short, with "..." where the rest would be, as far as there is room for it.
        const size_t keep = out.size() > 4 ? out.size() - 4 : 0;
        text.resize(keep);
        text.append(std::min<size_t>(3, out.size() - 1 - keep), '.');
    }
    std::memcpy(out.data(), text.c_str(), text.size() + 1);
    return static_cast<int>(names.size());
}

namespace {

// The user's or group's name, or its number where the system has no name for it.
template <std::size_t Size>
void NameOrNumber(std::array<char, Size>& field, const char* name, unsigned id) {
    if (name != nullptr) {
        std::snprintf(field.data(), field.size(), "%s", name);
    } else {
        std::snprintf(field.data(), field.size(), "%u", id);
    }
}

}  // namespace

bool ReadDeviceAccess(const char* path, DeviceAccess& access) {
    struct stat status {};
    if (stat(path, &status) != 0) {
        return false;
    }
    access = {};
    // getpwuid and getgrgid are enough here: the lookup is made once, just before the program
    // ends.
    const passwd* owner = getpwuid(status.st_uid);  // NOLINT(concurrency-mt-unsafe)
    NameOrNumber(access.owner, owner != nullptr ? owner->pw_name : nullptr, status.st_uid);
    const group* named = getgrgid(status.st_gid);  // NOLINT(concurrency-mt-unsafe)
    NameOrNumber(access.group, named != nullptr ? named->gr_name : nullptr, status.st_gid);
    access.groupId = static_cast<uint32_t>(status.st_gid);
    access.mode = static_cast<uint32_t>(status.st_mode & 07777);
    access.userIsOwner = geteuid() == status.st_uid;
    access.userInGroup = getegid() == status.st_gid;
    const int count = getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<size_t>(count));
        const int got = getgroups(count, groups.data());
        for (int i = 0; i < got; ++i) {
            access.userInGroup =
                access.userInGroup || groups[static_cast<size_t>(i)] == status.st_gid;
        }
    }
    return true;
}
