// PAD image reader, the hyper.pad writer and the stamped loading of an image into ImageBuffer.
#include "image/pad_image.h"

#include <cstdio>
#include <limits>

#include "platform/file.h"
#include "platform/platform.h"
#include "platform/shutdown.h"

std::array<uint8_t, ImageBufferSize> ImageBuffer{};

namespace {

constexpr uint32_t ReadPieceSize = 10240;
// The payload is streamed through this one buffer; nothing grows with the file.
std::array<uint8_t, ReadPieceSize> ReadPiece{};

constexpr uint32_t RawHardwareType = 7;
constexpr uint32_t RawSoftwareId = 0x0004000C;

constexpr uint64_t SegmentHeaderSize = 48;
constexpr uint64_t SegmentIdOffset = 16;
constexpr uint64_t SegmentLengthOffset = 32;
constexpr uint64_t TagSoftwareIdOffset = 5;
constexpr uint64_t FirstSegmentOffset = 9;

PadProblem lastProblem = PadProblem::None;

uint32_t Fail(PadProblem problem) {
    lastProblem = problem;
    return 0;
}

// Reads exactly `length` bytes. A failed read is Unreadable, a short one Truncated.
bool ReadExactly(File& file, uint8_t* buffer, uint32_t length) {
    uint32_t got = 0;
    if (file.Read(buffer, length, got) != 1) {
        lastProblem = PadProblem::Unreadable;
        return false;
    }
    if (got != length) {
        lastProblem = PadProblem::Truncated;
        return false;
    }
    return true;
}

// Sums the N payload bytes, one buffer piece at a time.
bool SumPayload(File& file, uint32_t payloadLength, uint32_t& sum) {
    sum = 0;
    uint32_t remaining = payloadLength;
    while (remaining > 0) {
        uint32_t wanted = remaining < ReadPieceSize ? remaining : ReadPieceSize;
        uint32_t got = 0;
        if (file.Read(ReadPiece.data(), wanted, got) == 0) {
            lastProblem = PadProblem::Unreadable;
            return false;
        }
        if (got == 0) {
            lastProblem = PadProblem::Truncated;  // the file shrank since its size was taken
            return false;
        }
        for (uint32_t i = 0; i < got; ++i) {
            sum += ReadPiece[i];
        }
        remaining -= got;
    }
    return true;
}

PadProblem OpenProblemOf(const char* fileName, uint32_t error) {
    switch (ClassifyOpenFailure(fileName, error)) {
        case OpenProblem::Missing:
            return PadProblem::Missing;
        case OpenProblem::Directory:
            return PadProblem::Directory;
        case OpenProblem::NotRegular:
            return PadProblem::NotRegular;
        default:
            return PadProblem::Unreadable;
    }
}

}  // namespace

PadProblem LastPadProblem() {
    return lastProblem;
}

uint32_t ReadPadImage(const char* fileName, uint8_t& hardwareType, uint32_t& softwareId,
                      PadReading reading) {
    lastProblem = PadProblem::None;
    File file = File::OpenRead(fileName);
    if (!file.IsOpen()) {
        return Fail(OpenProblemOf(fileName, GetLastErrorValue()));
    }
    uint64_t fileSize = 0;
    if (file.Size(fileSize) == 0) {
        return Fail(PadProblem::Unreadable);
    }
    if (reading == PadReading::Raw) {
        hardwareType = RawHardwareType;
        softwareId = RawSoftwareId;
    }
    if (fileSize == 0) {
        return Fail(PadProblem::Empty);
    }
    if (fileSize > std::numeric_limits<uint32_t>::max()) {
        return Fail(PadProblem::TooLarge);
    }
    if (reading == PadReading::Raw) {
        return static_cast<uint32_t>(fileSize);
    }
    if (fileSize <= 8) {
        return Fail(PadProblem::Truncated);  // no room for the length and the sum
    }

    std::array<uint8_t, 4> field{};
    if (!ReadExactly(file, field.data(), 4)) {
        return 0;
    }
    const uint32_t payloadLength = ReadBigEndian32(field.data());
    // The tag length follows from the sizes; in 64 bits an N beyond the file gives a negative
    // value instead of wrapping into a plausible one.
    const int64_t tagLength =
        static_cast<int64_t>(fileSize) - static_cast<int64_t>(payloadLength) - 8;
    if (tagLength < 0) {
        return Fail(PadProblem::Truncated);
    }
    if (tagLength != 0 && tagLength != 1 && tagLength != 5) {
        return Fail(PadProblem::UnknownTag);
    }

    std::array<uint8_t, 5> tag{};
    if (!ReadExactly(file, tag.data(), static_cast<uint32_t>(tagLength))) {
        return 0;
    }
    hardwareType = tagLength == 0 ? 0 : tag[0];
    softwareId = tagLength == 5 ? ReadBigEndian32(tag.data() + 1) : 0;

    uint32_t sum = 0;
    if (!SumPayload(file, payloadLength, sum) || !ReadExactly(file, field.data(), 4)) {
        return 0;
    }
    if (ReadBigEndian32(field.data()) != sum) {
        return Fail(PadProblem::BadChecksum);
    }
    // fileSize < 2^32 and tagLength >= 0, so N + 8 cannot wrap.
    return payloadLength + 8;
}

namespace {

constexpr const char* HyperPadName = "hyper.pad";
// Names tried for the new file before it takes the place of hyper.pad.
constexpr int TemporaryNameTries = 100;

// Set while hyper.pad stands in the current directory because this run wrote it.
bool hyperPadWritten = false;

// When an interrupt ends the program, the hyper bootloader this run left behind goes with it.
void RemoveHyperPadLeftBehind(ShutdownKind, int) {
    if (hyperPadWritten) {
        (void)DeleteFileNamed(HyperPadName);
        hyperPadWritten = false;
    }
}

// The hyper bootloader as "hyper.pad" holds it: N (35,632), the optional tag, the image and the
// byte sum of the image.
bool WriteHyperPadBytes(File& file, int hardwareType) {
    std::array<uint8_t, 4> field{};
    WriteBigEndian32(field.data(), HyperBootloaderSize);
    if (file.Write(field.data(), 4) == 0) {
        return false;
    }
    const auto tag = static_cast<uint8_t>(hardwareType & 0xFF);
    if (tag != 0 && file.Write(&tag, 1) == 0) {
        return false;
    }
    if (file.Write(HyperBootloaderImage.data(), HyperBootloaderSize) == 0) {
        return false;
    }
    uint32_t sum = 0;
    for (uint8_t byte : HyperBootloaderImage) {
        sum += byte;
    }
    WriteBigEndian32(field.data(), sum);
    return file.Write(field.data(), 4) != 0;
}

// Creates a file of this process's own beside hyper.pad: "hyper.pad.<process>-<n>", created
// exclusively, so that nothing that already stands in the directory is ever written through.
File CreateTemporaryFile(std::array<char, 48>& name) {
    File file;
    for (int n = 0; n < TemporaryNameTries && !file.IsOpen(); ++n) {
        std::snprintf(name.data(), name.size(), "%s.%x-%d", HyperPadName, CurrentProcessId(), n);
        file = File::CreateNew(name.data());
    }
    return file;
}

}  // namespace

int WriteHyperPad(int hardwareType) {
    // The bytes go into a new file of their own, which then takes the place of hyper.pad in one
    // step: a link, a FIFO or another name of a file (a hard link) standing at "hyper.pad" is
    // replaced, never written through, and a directory of that name makes the step fail.
    std::array<char, 48> temporary{};
    File file = CreateTemporaryFile(temporary);
    if (!file.IsOpen()) {
        return 0;
    }
    const bool written = WriteHyperPadBytes(file, hardwareType);
    file.Close();
    if (!written || ReplaceFileNamed(temporary.data(), HyperPadName) == 0) {
        const uint32_t reason = GetLastErrorValue();
        (void)DeleteFileNamed(temporary.data());
        SetLastErrorValue(reason);
        return 0;
    }
    hyperPadWritten = true;
    InstallShutdownAction(ShutdownStage::HyperPadRemoved, RemoveHyperPadLeftBehind);
    return 1;
}

void RemoveHyperPad() {
    (void)DeleteFileNamed(HyperPadName);
    hyperPadWritten = false;
}

namespace {

// Loads the whole file into ImageBuffer. Fails only when the file does not fit; a read error
// ends the loading early.
bool LoadWholeFile(File& file, uint32_t& loaded) {
    loaded = 0;
    while (loaded < ImageBufferSize) {
        uint32_t got = 0;
        if (file.Read(ImageBuffer.data() + loaded, ImageBufferSize - loaded, got) == 0 ||
            got == 0) {
            // A failed read may still have stored bytes before it failed.
            loaded += got;
            return true;
        }
        loaded += got;
    }
    // The buffer is full: the file must end here, or the image would go out cut short.
    uint8_t probe = 0;
    uint32_t got = 0;
    return file.Read(&probe, 1, got) == 0 || got == 0;
}

// Writes the software id into every segment header of the payload. The walk ends at the first
// header whose length field does not lie wholly within the loaded bytes, or whose length points
// beyond them; an id field that would reach past the loaded bytes is not written.
void StampSegments(uint32_t loaded, uint32_t softwareId) {
    const uint64_t end = loaded;
    uint64_t p = FirstSegmentOffset;
    while (p + 4 < end) {
        if (p + SegmentIdOffset + 4 <= end) {
            WriteBigEndian32(ImageBuffer.data() + p + SegmentIdOffset, softwareId);
        }
        if (p + SegmentLengthOffset + 4 > end) {
            return;
        }
        const uint64_t bodyLength = ReadBigEndian32(ImageBuffer.data() + p + SegmentLengthOffset);
        p += SegmentHeaderSize + bodyLength;
    }
}

}  // namespace

int LoadStampedImage(const char* fileName, uint32_t& size, uint32_t softwareId) {
    File file = File::OpenRead(fileName);
    if (!file.IsOpen()) {
        std::fprintf(ErrorOutput(), "Cannot open file %s\n", fileName);
        return 1;
    }
    uint32_t loaded = 0;
    const bool fits = LoadWholeFile(file, loaded);
    file.Close();
    if (!fits) {
        std::fprintf(ErrorOutput(), "Image file %s is larger than 3 MiB\n", fileName);
        size = 0;
        return 1;
    }
    size = loaded;

    // The image is taken to have the 5-byte tag; its software id field is bytes 5 to 8.
    WriteBigEndian32(ImageBuffer.data() + TagSoftwareIdOffset, softwareId);
    if (loaded <= 13) {
        return 0;
    }
    StampSegments(loaded, softwareId);
    return 0;
}
