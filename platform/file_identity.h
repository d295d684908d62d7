// The identity of a file, for telling whether two names lead to the same file whatever the
// names look like (a relative and an absolute name, a hard link, a symbolic link).
#pragma once

#include <cstdint>
#include <string>

// How a symbolic link at the name counts.
enum class LinkRule : uint8_t {
    Follow,  // the file the link leads to: for a file that is read or appended through the name
    Own,     // the link itself: for a name that is replaced by a rename, which never follows it
};

struct FileIdentity {
    // How the identity was found; Unknown when the name leads to nothing (it does not exist
    // yet, or cannot be looked at).
    enum class Kind : uint8_t { Unknown, Number, FinalPath };
    Kind kind = Kind::Unknown;
    // Number: POSIX device and inode; Windows the volume's serial number and the 128-bit file id
    // (or the 64-bit file index in `low`).
    uint64_t device = 0;
    uint64_t high = 0;
    uint64_t low = 0;
    // FinalPath (Windows, where the volume gives no file id): the final path, upper case.
    std::string path;
};

// The identity of the file at `name`. Nothing is opened for reading or writing: on Windows a
// handle without access rights and with full sharing, closed at once.
[[nodiscard]] FileIdentity IdentifyFile(const char* name, LinkRule rule);

// True when both identities are known, of the same kind, and name the same file.
[[nodiscard]] bool SameFile(const FileIdentity& a, const FileIdentity& b);
