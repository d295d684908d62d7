// PAD images: the file format that carries box software, its reader and writers, the shared
// image buffer and the built-in hyper bootloader.
//
// Layout (big-endian): payload length N (4 bytes), a tag of T = 0, 1 or 5 bytes (hardware type,
// then software id), N payload bytes, the byte sum of the payload (4 bytes). T follows from the
// file size S: T = S - N - 8.
#pragma once

#include <array>
#include <cstdint>

inline constexpr uint32_t ImageBufferSize = 3145728;  // 3 MiB
// Shared in-memory image, zero at start-up.
extern std::array<uint8_t, ImageBufferSize> ImageBuffer;

inline constexpr uint32_t HyperBootloaderSize = 35632;
// The box-side program that 1.x bootloaders are given first (big-endian MIPS32 code).
extern const std::array<uint8_t, HyperBootloaderSize> HyperBootloaderImage;
// True when the build carries the repository's stand-in (image/hyper_standin.bin), which can be
// built and tested but cannot start a real box; false with the box maker's hyper bootloader.
extern const bool HyperBootloaderIsStandIn;

// How ReadPadImage takes a file: checked as a PAD image, or as a raw image (option -i) that is
// sent as it is. Any value other than Raw checks the file.
enum class PadReading : int { Checked = 0, Raw = 1 };

// Checks a PAD image. Returns N + 8 for a sound image and 0 for any failure; sets
// hardwareType and softwareId (0 when the tag does not hold them). A Raw file is not checked:
// the result is the file size, hardware type 7, software id 0x0004000C.
[[nodiscard]] uint32_t ReadPadImage(const char* fileName, uint8_t& hardwareType,
                                    uint32_t& softwareId, PadReading reading);

// Why the last ReadPadImage failed (None after a success).
enum class PadProblem : int {
    None,
    Missing,      // no such file
    Empty,        // 0 bytes
    Truncated,    // shorter than its fields or its length field say
    Directory,    // the name is a directory
    NotRegular,   // a FIFO, a device or a socket
    Unreadable,   // no permission, or a read failed (the reason in the last-error value)
    BadChecksum,  // the stored sum differs from the payload's
    UnknownTag,   // the sizes give a tag of other than 0, 1 or 5 bytes
    TooLarge,     // 4 GiB or more
};
[[nodiscard]] PadProblem LastPadProblem();

// Writes "hyper.pad" into the current directory: the hyper bootloader as a PAD image without
// a tag (hardwareType 0) or with the 1-byte tag. Returns 1 on success, 0 on failure (the reason
// in the last-error value). The bytes go into a new file that then replaces whatever stood at
// the name; nothing there (a link, a FIFO) is written through. Until RemoveHyperPad, an
// interrupt that ends the program deletes the file.
[[nodiscard]] int WriteHyperPad(int hardwareType);

// Deletes "hyper.pad" once it is no longer needed (the result is not looked at).
void RemoveHyperPad();

// Loads a whole image into ImageBuffer and writes `softwareId` into its tag and into every
// segment header of its payload. Returns 0 on success (size = bytes loaded), 1 when the file
// cannot be opened ("Cannot open file %s\n" on standard error).
[[nodiscard]] int LoadStampedImage(const char* fileName, uint32_t& size, uint32_t softwareId);

// Helpers for big-endian numbers.
[[nodiscard]] inline uint32_t ReadBigEndian32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline void WriteBigEndian32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}
