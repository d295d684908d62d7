// ReadPadImage on arbitrary files, checked against a straightforward reading of the format:
// length N, a tag of 0, 1 or 5 bytes (T = file size - N - 8), the payload and its byte sum.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "image/pad_image.h"

namespace {

struct Expected {
    uint32_t result = 0;
    uint8_t hardwareType = 0;
    uint32_t softwareId = 0;
};

Expected ReadReference(const uint8_t* data, size_t size) {
    Expected expected;
    if (size <= 8) {
        return expected;
    }
    const uint64_t n = ReadBigEndian32(data);
    if (n + 8 > size) {
        return expected;
    }
    const uint64_t tag = size - n - 8;
    if (tag != 0 && tag != 1 && tag != 5) {
        return expected;
    }
    uint32_t sum = 0;
    for (uint64_t i = 0; i < n; ++i) {
        sum += data[4 + tag + i];
    }
    if (sum != ReadBigEndian32(data + 4 + tag + n)) {
        return expected;
    }
    expected.result = static_cast<uint32_t>(n + 8);
    expected.hardwareType = tag >= 1 ? data[4] : 0;
    expected.softwareId = tag == 5 ? ReadBigEndian32(data + 5) : 0;
    return expected;
}

[[noreturn]] void Mismatch(const char* what, uint32_t got, uint32_t want) {
    std::fprintf(stderr, "ReadPadImage: %s is 0x%X, the format says 0x%X\n", what, got, want);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::ScratchFile file;
    file.Write(data, size);

    uint8_t hardwareType = 0xEE;
    uint32_t softwareId = 0xEEEEEEEE;
    const uint32_t result =
        ReadPadImage(file.Path(), hardwareType, softwareId, PadReading::Checked);
    const Expected expected = ReadReference(data, size);
    if (result != expected.result) {
        Mismatch("the result", result, expected.result);
    }
    if (result != 0) {
        if (hardwareType != expected.hardwareType) {
            Mismatch("the hardware type", hardwareType, expected.hardwareType);
        }
        if (softwareId != expected.softwareId) {
            Mismatch("the software id", softwareId, expected.softwareId);
        }
    }

    // Raw mode takes any readable file by its size.
    const uint32_t raw = ReadPadImage(file.Path(), hardwareType, softwareId, PadReading::Raw);
    if (raw != size || hardwareType != 7 || softwareId != 0x0004000C) {
        Mismatch("the raw-mode result", raw, static_cast<uint32_t>(size));
    }
    return 0;
}
