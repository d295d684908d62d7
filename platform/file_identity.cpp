// Comparing two file identities: the same on both platforms.
#include "platform/file_identity.h"

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
    if (a.kind == FileIdentity::Kind::Unknown || a.kind != b.kind) {
        return false;
    }
    if (a.kind == FileIdentity::Kind::FinalPath) {
        return a.path == b.path;
    }
    return a.device == b.device && a.high == b.high && a.low == b.low;
}
