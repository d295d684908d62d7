// The box's side of the image formats: prefix-code decoding, PAD image checks, containers.
#include "box_decoders.h"

#include <bzlib.h>

#include <cstdio>
#include <cstdlib>

namespace box {

namespace {

uint32_t BigEndian32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

uint32_t ByteSum(std::span<const uint8_t> bytes) {
    uint32_t sum = 0;
    for (uint8_t byte : bytes) {
        sum += byte;
    }
    return sum;
}

std::string Format(const char* format, unsigned long a, unsigned long b = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

}  // namespace

// ---- PrefixDecoder -------------------------------------------------------------------------

bool PrefixDecoder::Build(std::span<const Code, 256> codes, std::string& problem) {
    table_.fill(Entry{});
    Reset();
    for (int byte = 0; byte < 256; ++byte) {
        const Code code = codes[byte];
        if (code.length < 1 || code.length > MaxCodeLength) {
            problem = Format("the code of byte 0x%02lX has %lu bits", byte, code.length);
            return false;
        }
        if (code.value >> code.length != 0) {
            problem = Format("the code value of byte 0x%02lX does not fit its %lu bits", byte,
                             code.length);
            return false;
        }
        // Every window of MaxCodeLength bits that begins with this code decodes to the byte.
        const uint32_t shift = MaxCodeLength - code.length;
        const uint32_t first = static_cast<uint32_t>(code.value) << shift;
        for (uint32_t window = first; window < first + (1u << shift); ++window) {
            if (table_[window].length != 0) {
                problem = Format("the codes of bytes 0x%02lX and 0x%02lX overlap", byte,
                                 table_[window].byte);
                return false;
            }
            table_[window] = Entry{static_cast<uint8_t>(byte), code.length};
        }
    }
    for (uint32_t window = 0; window < table_.size(); ++window) {
        if (table_[window].length == 0) {
            problem = Format("no code begins with the bits of 0x%04lX (13 bits)", window);
            return false;
        }
    }
    return true;
}

const PrefixDecoder& PrefixDecoder::ForBoxCodeTable() {
    static const PrefixDecoder decoder = [] {
        PrefixDecoder built;
        std::string problem;
        if (!built.Build(BoxCodeTable, problem)) {
            std::fprintf(stderr, "boxsim: the download's code table cannot be decoded: %s\n",
                         problem.c_str());
            std::exit(2);
        }
        return built;
    }();
    return decoder;
}

void PrefixDecoder::Reset() {
    bits_ = 0;
    pendingBits_ = 0;
}

void PrefixDecoder::Feed(std::span<const uint8_t> input, std::vector<uint8_t>& out) {
    for (uint8_t byte : input) {
        bits_ = (bits_ << 8) | byte;
        pendingBits_ += 8;
        while (pendingBits_ > 0) {
            // The next MaxCodeLength bits, filled with zeros when fewer are pending: a code no
            // longer than the pending bits is decided by them alone.
            const uint32_t window =
                pendingBits_ >= MaxCodeLength
                    ? static_cast<uint32_t>(bits_ >> (pendingBits_ - MaxCodeLength))
                    : static_cast<uint32_t>(bits_ << (MaxCodeLength - pendingBits_));
            const Entry entry = table_[window & ((1u << MaxCodeLength) - 1)];
            if (entry.length == 0 || entry.length > pendingBits_) {
                break;
            }
            out.push_back(entry.byte);
            pendingBits_ -= entry.length;
        }
        bits_ &= (uint64_t{1} << pendingBits_) - 1;
    }
}

bool PrefixDecoder::AtPaddedEnd() const {
    return pendingBits_ < 8 && bits_ == (uint64_t{1} << pendingBits_) - 1;
}

// ---- PAD images ------------------------------------------------------------------------------

bool CheckPadImage(std::span<const uint8_t> image, PadLayout& layout, std::string& problem) {
    if (image.size() < 8) {
        problem = Format("%lu bytes are too few for an image", image.size());
        return false;
    }
    layout = PadLayout{};
    layout.payloadLength = BigEndian32(image.data());
    if (uint64_t{layout.payloadLength} + 8 > image.size()) {
        problem = Format("the payload length %lu does not fit into %lu bytes", layout.payloadLength,
                         image.size());
        return false;
    }
    layout.tagLength = static_cast<uint32_t>(image.size() - layout.payloadLength - 8);
    if (layout.tagLength != 0 && layout.tagLength != 1 && layout.tagLength != 5) {
        problem = Format("a tag of %lu bytes (payload length %lu)", layout.tagLength,
                         layout.payloadLength);
        return false;
    }
    if (layout.tagLength >= 1) {
        layout.hardwareType = image[4];
    }
    if (layout.tagLength == 5) {
        layout.softwareId = BigEndian32(image.data() + 5);
    }
    const size_t payloadStart = 4 + layout.tagLength;
    const uint32_t sum = ByteSum(image.subspan(payloadStart, layout.payloadLength));
    const uint32_t stored = BigEndian32(image.data() + payloadStart + layout.payloadLength);
    if (sum != stored) {
        problem = Format("payload sum 0x%08lX, stored checksum 0x%08lX", sum, stored);
        return false;
    }
    return true;
}

EncodedImageReceiver::EncodedImageReceiver(size_t expectedSize)
    : decoder_(PrefixDecoder::ForBoxCodeTable()), expectedSize_(expectedSize) {
    decoder_.Reset();
}

int64_t EncodedImageReceiver::PayloadLength() const {
    return image_.size() < 4 ? -1 : int64_t{BigEndian32(image_.data())};
}

bool EncodedImageReceiver::Take(uint8_t byte) {
    ++received_;
    decoder_.Feed(std::span(&byte, 1), image_);
    if (!decoder_.AtPaddedEnd()) {
        return false;
    }
    if (expectedSize_ != 0) {
        return image_.size() >= expectedSize_;
    }
    // The true end decodes its last byte together with the padding, so the decoded size meets
    // the image size exactly there; sizes that one received byte jumps over are no end.
    constexpr uint32_t TagLengths[] = {0, 1, 5};
    const int64_t payloadLength = PayloadLength();
    while (payloadLength >= 0 && nextCandidate_ < 3) {
        const uint64_t size = uint64_t(payloadLength) + TagLengths[nextCandidate_] + 8;
        if (size > image_.size()) {
            return false;
        }
        ++nextCandidate_;
        PadLayout layout;
        std::string problem;
        if (size == image_.size() && CheckPadImage(image_, layout, problem)) {
            return true;
        }
    }
    return false;
}

// ---- CompressedImage containers --------------------------------------------------------------

uint32_t ContainerHeaderLength(uint8_t type) {
    if (type == 2) {
        return 5;
    }
    return type >= 4 && type <= 6 ? 9 : 0;
}

size_t ContainerTotalSize(std::span<const uint8_t> bytes) {
    if (bytes.size() < 5) {
        return 0;
    }
    const uint32_t header = ContainerHeaderLength(bytes[4]);
    if (header == 0) {
        return SIZE_MAX;
    }
    return size_t{header} + BigEndian32(bytes.data()) + 4;
}

bool UnpackContainer(std::span<const uint8_t> container, const ContainerExpectation& expected,
                     ContainerContent& content, std::string& problem) {
    content = ContainerContent{};
    if (container.size() < 9) {
        problem = Format("%lu bytes are too few for a container", container.size());
        return false;
    }
    content.type = container[4];
    const uint32_t header = ContainerHeaderLength(content.type);
    if (header == 0) {
        problem = Format("container type %lu has no layout", content.type);
        return false;
    }
    if (expected.type != 0 && content.type != expected.type) {
        problem = Format("container type %lu, this box takes type %lu", content.type,
                         static_cast<unsigned long>(expected.type));
        return false;
    }
    content.streamLength = BigEndian32(container.data());
    if (uint64_t{header} + content.streamLength + 4 != container.size()) {
        problem = Format("stream length %lu does not match the container's %lu bytes",
                         content.streamLength, container.size());
        return false;
    }
    if (header == 9) {
        content.softwareId = BigEndian32(container.data() + 5);
        if (expected.checkSoftwareId && content.softwareId != expected.softwareId) {
            problem = Format("software id 0x%08lX, this box is 0x%08lX", content.softwareId,
                             expected.softwareId);
            return false;
        }
    }
    const auto stream = container.subspan(header, content.streamLength);
    const uint32_t sum = ByteSum(stream);
    const uint32_t stored = BigEndian32(container.data() + header + content.streamLength);
    if (sum != stored) {
        problem = Format("stream sum 0x%08lX, stored sum 0x%08lX", sum, stored);
        return false;
    }
    // One byte of room more than allowed tells a too large image from one that fits exactly.
    content.image.resize(expected.maxImageSize + 1);
    unsigned int length = static_cast<unsigned int>(content.image.size());
    const int rc =
        BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(content.image.data()), &length,
                                   const_cast<char*>(reinterpret_cast<const char*>(stream.data())),
                                   static_cast<unsigned int>(stream.size()), 0, 0);
    if (rc == BZ_OUTBUFF_FULL || (rc == BZ_OK && length > expected.maxImageSize)) {
        problem = Format("the image is larger than %lu bytes", expected.maxImageSize);
        return false;
    }
    if (rc != BZ_OK) {
        problem = "the stream does not decompress (bzip2 result " + std::to_string(rc) + ")";
        return false;
    }
    content.image.resize(length);
    return true;
}

}  // namespace box
