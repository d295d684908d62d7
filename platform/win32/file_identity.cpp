// File identity on Windows: a handle without access rights and with full sharing (so that it
// neither disturbs nor waits for another program that has the file open) gives the volume's
// serial number and the file id: the 128-bit id where the volume has one, else the 64-bit file
// index, and where neither is given (some network and FAT volumes give 0) the final path,
// compared without regard to case.
#include <windows.h>

#include <array>
#include <cstring>
#include <vector>

#include "platform/file_identity.h"

namespace {

bool AllZero(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// The final path of the handle in upper case and UTF-8; false when there is none.
bool FinalPath(HANDLE handle, std::string& path) {
    std::vector<wchar_t> wide(32768);
    const DWORD length = GetFinalPathNameByHandleW(
        handle, wide.data(), static_cast<DWORD>(wide.size()), FILE_NAME_NORMALIZED);
    if (length == 0 || length >= wide.size()) {
        return false;
    }
    CharUpperBuffW(wide.data(), length);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(length),
                                          nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return false;
    }
    path.assign(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(length), path.data(), bytes,
                        nullptr, nullptr);
    return true;
}

}  // namespace

FileIdentity IdentifyFile(const char* name, LinkRule rule) {
    FileIdentity identity;
    if (name == nullptr || *name == '\0') {
        return identity;
    }
    // BACKUP_SEMANTICS lets a directory be looked at too; OPEN_REPARSE_POINT takes a link itself.
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (rule == LinkRule::Own) {
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    }
    HANDLE handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return identity;
    }
    FILE_ID_INFO id{};
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id) &&
        !AllZero(&id.FileId, sizeof id.FileId)) {
        identity.kind = FileIdentity::Kind::Number;
        identity.device = id.VolumeSerialNumber;
        std::array<uint64_t, 2> halves{};
        static_assert(sizeof halves == sizeof id.FileId);
        std::memcpy(halves.data(), &id.FileId, sizeof halves);
        identity.high = halves[1];
        identity.low = halves[0];
    } else if (GetFileInformationByHandle(handle, &info) &&
               (info.nFileIndexHigh | info.nFileIndexLow) != 0) {
        identity.kind = FileIdentity::Kind::Number;
        identity.device = info.dwVolumeSerialNumber;
        identity.low = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    } else if (FinalPath(handle, identity.path)) {
        identity.kind = FileIdentity::Kind::FinalPath;
    }
    CloseHandle(handle);
    return identity;
}
