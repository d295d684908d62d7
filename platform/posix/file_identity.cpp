// File identity on POSIX: the device and inode numbers, from lstat for a name that is replaced
// and from stat for a name that is read or appended through.
#include <sys/stat.h>

#include "platform/file_identity.h"

FileIdentity IdentifyFile(const char* name, LinkRule rule) {
    FileIdentity identity;
    if (name == nullptr || *name == '\0') {
        return identity;
    }
    struct stat info {};
    if ((rule == LinkRule::Own ? lstat(name, &info) : stat(name, &info)) != 0) {
        return identity;
    }
    identity.kind = FileIdentity::Kind::Number;
    identity.device = static_cast<uint64_t>(info.st_dev);
    identity.low = static_cast<uint64_t>(info.st_ino);
    return identity;
}
