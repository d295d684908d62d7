// The portable half of SHA-256: a file hashed in pieces, and the hexadecimal form.
#include "platform/sha256.h"

#include "platform/file.h"
#include "platform/platform.h"

namespace {
// The file is read in pieces of this size; a 3 MiB image takes 48 reads.
constexpr uint32_t PieceSize = 65536;
// The reason given when the hash itself failed (EIO on POSIX; any value the system has words
// for would do, the record only needs the digest to be missing).
constexpr uint32_t HashFailedError = 5;
}  // namespace

int Sha256OfFile(const char* name, Sha256Digest& digest, uint64_t& size) {
    size = 0;
    File file = File::OpenRead(name);
    if (!file.IsOpen()) {
        return 0;
    }
    static std::array<uint8_t, PieceSize> piece{};
    Sha256 hash;
    for (;;) {
        uint32_t got = 0;
        if (file.Read(piece.data(), PieceSize, got) == 0) {
            return 0;
        }
        if (got == 0) {
            break;
        }
        hash.Update(piece.data(), got);
        size += got;
    }
    if (hash.Finish(digest) == 0) {
        SetLastErrorValue(HashFailedError);
        return 0;
    }
    return 1;
}

Sha256Hex Sha256ToHex(const Sha256Digest& digest) {
    constexpr const char* Digits = "0123456789abcdef";
    Sha256Hex hex{};
    for (std::size_t i = 0; i < digest.size(); ++i) {
        hex[2 * i] = Digits[digest[i] >> 4];
        hex[2 * i + 1] = Digits[digest[i] & 0x0F];
    }
    hex[hex.size() - 1] = '\0';
    return hex;
}
