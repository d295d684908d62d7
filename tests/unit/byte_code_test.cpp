// The prefix code of the encoded download and the encoding file reader: the table is a
// complete prefix code, the reader's output is the concatenation of the codes padded with
// 1-bits, whatever the block sizes, and it decodes back to the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/file.h"
#include "protocols/block_transfer.h"
#include "tests/support/pad_builder.h"

namespace {

std::string CodeBits(const ByteCode& code) {
    std::string bits;
    for (int bit = code.length - 1; bit >= 0; --bit) {
        bits += ((code.value >> bit) & 1) != 0 ? '1' : '0';
    }
    return bits;
}

TEST(ByteCodeTable, IsACompletePrefixCode) {
    // Kraft sum in units of 2^-13 (the longest code): exactly 1 means 2^13 units.
    uint32_t kraftUnits = 0;
    std::vector<std::string> codes;
    for (int byte = 0; byte < 256; ++byte) {
        const ByteCode code = ByteCodeTable[byte];
        ASSERT_GE(code.length, 2) << "byte " << byte;
        ASSERT_LE(code.length, 13) << "byte " << byte;
        ASSERT_LT(code.value, 1u << code.length) << "byte " << byte << " has bits above its length";
        kraftUnits += 1u << (13 - code.length);
        codes.push_back(CodeBits(code));
    }
    EXPECT_EQ(kraftUnits, 1u << 13);
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            if (a != b) {
                EXPECT_FALSE(codes[b].starts_with(codes[a]))
                    << "code of " << a << " (" << codes[a] << ") begins the code of " << b << " ("
                    << codes[b] << ")";
            }
        }
    }
    EXPECT_EQ(codes[0x00], "00");
    for (int byte = 1; byte < 256; ++byte) {
        EXPECT_GT(ByteCodeTable[byte].length, ByteCodeTable[0].length) << "byte " << byte;
    }
}

TEST(ByteCodeTable, MatchesThePrintedCells) {
    // Cells across the table (first, last, longest codes, a cell of every row).
    struct Cell {
        int byte;
        int length;
        uint16_t value;
    };
    const Cell cells[] = {
        {0x00, 2, 0x0},     {0x01, 6, 0x19},    {0x0F, 7, 0x41},    {0x1D, 12, 0xFC0},
        {0x21, 5, 0x8},     {0x3A, 11, 0x7F3},  {0x43, 11, 0x781},  {0x5A, 12, 0xFED},
        {0x6E, 9, 0x181},   {0x7D, 12, 0xFF7},  {0x8F, 6, 0x18},    {0x9A, 13, 0x1FF1},
        {0x9B, 13, 0x1FF0}, {0xAF, 5, 0xF},     {0xBA, 13, 0x1FFC}, {0xC7, 10, 0x3CF},
        {0xDA, 12, 0xFFF},  {0xDB, 13, 0x1FFD}, {0xE0, 6, 0x25},    {0xFF, 5, 0xE},
    };
    for (const Cell& cell : cells) {
        EXPECT_EQ(ByteCodeTable[cell.byte].length, cell.length) << "byte " << cell.byte;
        EXPECT_EQ(ByteCodeTable[cell.byte].value, cell.value) << "byte " << cell.byte;
    }
    // A fingerprint (FNV-1a over length, value high byte, value low byte) of the whole printed
    // table, so that two swapped cells cannot pass unseen.
    uint32_t hash = 2166136261u;
    for (const ByteCode& code : ByteCodeTable) {
        for (uint32_t part :
             {uint32_t{code.length}, uint32_t{code.value} >> 8u, uint32_t{code.value} & 0xFFu}) {
            hash = (hash ^ part) * 16777619u;
        }
    }
    EXPECT_EQ(hash, 0x11784BFAu);
}

// ---- The encoding reader ---------------------------------------------------------------------

class EncoderTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetImageBlockReader(); }

    std::string WriteFile(const std::vector<uint8_t>& bytes) {
        std::string path = test::TempDir() + "/image.bin";
        EXPECT_TRUE(test::WriteFileBytes(path, bytes));
        return path;
    }

    // Reads the whole file through ReadImageBlock with the given block sizes (cycled), like
    // the sender does, and returns everything delivered.
    std::vector<uint8_t> Encode(const std::vector<uint8_t>& bytes,
                                const std::vector<uint32_t>& blockSizes = {TransferBlockSize}) {
        File file = File::OpenRead(WriteFile(bytes).c_str());
        EXPECT_TRUE(file.IsOpen());
        std::vector<uint8_t> out;
        std::vector<uint8_t> block(TransferBlockSize);
        uint64_t consumedTotal = 0;
        for (size_t call = 0;; ++call) {
            const uint32_t wanted = blockSizes[call % blockSizes.size()];
            uint32_t produced = 12345;
            uint32_t consumed = 12345;
            EXPECT_EQ(ReadImageBlock(file, block.data(), wanted, produced, consumed,
                                     Encoding::PrefixCoded),
                      1);
            EXPECT_LE(produced, wanted);
            consumedTotal += consumed;
            if (produced == 0) {
                break;
            }
            out.insert(out.end(), block.begin(), block.begin() + produced);
        }
        EXPECT_EQ(consumedTotal, bytes.size()) << "every file byte is counted once";
        return out;
    }
};

// Decodes bit by bit, looking every bit string up among the codes: independent of the reader's
// register arithmetic. A bit string of length L with value K is keyed as 2^L + K.
std::vector<uint8_t> Decode(const std::vector<uint8_t>& encoded, size_t& paddingBits) {
    std::vector<int> byKey(1u << 14, -1);
    for (int byte = 0; byte < 256; ++byte) {
        const ByteCode code = ByteCodeTable[byte];
        byKey[(1u << code.length) + code.value] = byte;
    }
    std::vector<uint8_t> out;
    uint32_t key = 1;  // the empty bit string
    for (uint8_t byte : encoded) {
        for (int bit = 7; bit >= 0; --bit) {
            key = (key << 1) | ((byte >> bit) & 1u);
            if (key >= byKey.size()) {
                ADD_FAILURE() << "a bit string longer than every code";
                return out;
            }
            if (byKey[key] >= 0) {
                out.push_back(static_cast<uint8_t>(byKey[key]));
                key = 1;
            }
        }
    }
    paddingBits = 0;
    for (; key > 1; key >>= 1) {
        EXPECT_EQ(key & 1u, 1u) << "the padding is made of 1-bits";
        ++paddingBits;
    }
    return out;
}

TEST_F(EncoderTest, SmallInputsGiveTheDocumentedBytes) {
    struct Case {
        const char* name;
        std::vector<uint8_t> input;
        std::vector<uint8_t> expected;
    };
    const Case cases[] = {
        {"empty file", {}, {}},
        {"one 0x00: code 00 and six padding 1-bits", {0x00}, {0x3F}},
        {"four 0x00 fill one byte exactly", {0x00, 0x00, 0x00, 0x00}, {0x00}},
        {"five 0x00", {0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x3F}},
        // 0xFF is 01110, 0x01 is 011001: 01110011 001 + padding 11111.
        {"0xFF then 0x01", {0xFF, 0x01}, {0x73, 0x3F}},
        // 0x9A is the 13-bit 1111111110001: 11111111 10001 + padding 111.
        {"longest code", {0x9A}, {0xFF, 0x8F}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Encode(c.input), c.expected);
    }
}

TEST_F(EncoderTest, WithoutEncodingTheBytesPassUnchanged) {
    const std::vector<uint8_t> bytes = test::RandomBytes(10241, 7);
    File file = File::OpenRead(WriteFile(bytes).c_str());
    std::vector<uint8_t> block(TransferBlockSize);
    uint32_t produced = 0;
    uint32_t consumed = 0;
    ASSERT_EQ(
        ReadImageBlock(file, block.data(), TransferBlockSize, produced, consumed, Encoding::Plain),
        1);
    EXPECT_EQ(produced, 10240u);
    EXPECT_EQ(consumed, 10240u);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), bytes.begin()));
    ASSERT_EQ(
        ReadImageBlock(file, block.data(), TransferBlockSize, produced, consumed, Encoding::Plain),
        1);
    EXPECT_EQ(produced, 1u);
    EXPECT_EQ(block[0], bytes[10240]);
    ASSERT_EQ(
        ReadImageBlock(file, block.data(), TransferBlockSize, produced, consumed, Encoding::Plain),
        1);
    EXPECT_EQ(produced, 0u);
}

TEST_F(EncoderTest, RoundTripAcrossBlockBoundaries) {
    // A real-looking image: a PAD file whose payload is segments of code-like data with long
    // runs of zeros and filler bytes, and a random image of the same size.
    std::vector<uint8_t> payload;
    for (int segment = 0; segment < 6; ++segment) {
        std::vector<uint8_t> body = test::RandomBytes(9000 + 1000 * segment, segment);
        std::fill(body.begin() + 2000, body.begin() + 5000, 0x00);
        std::fill(body.begin() + 6000, body.begin() + 6500, 0xFF);
        auto seg = test::MakeSegment(0x00020000, body);
        payload.insert(payload.end(), seg.begin(), seg.end());
    }
    const std::vector<uint8_t> realLooking = test::MakePad(payload, 5, 2, 0x00020000);
    const std::vector<uint8_t> random = test::RandomBytes(realLooking.size(), 99);

    struct Case {
        const char* name;
        const std::vector<uint8_t>* input;
        std::vector<uint32_t> blockSizes;
    };
    const Case cases[] = {
        {"real-looking, 10,240-byte blocks", &realLooking, {TransferBlockSize}},
        {"random, 10,240-byte blocks", &random, {TransferBlockSize}},
        {"real-looking, odd block sizes", &realLooking, {1, 7, 3, 10240, 2, 5}},
        {"random, one byte per block", &random, {1}},
    };
    std::vector<uint8_t> reference;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> encoded = Encode(*c.input, c.blockSizes);
        size_t paddingBits = 99;
        EXPECT_EQ(Decode(encoded, paddingBits), *c.input);
        EXPECT_LT(paddingBits, 8u) << "at most one byte of padding";
        uint64_t bits = 0;
        for (uint8_t byte : *c.input) {
            bits += ByteCodeTable[byte].length;
        }
        EXPECT_EQ(encoded.size(), (bits + 7) / 8);
        if (c.input == &realLooking) {
            if (reference.empty()) {
                reference = encoded;
            } else {
                EXPECT_EQ(encoded, reference) << "block sizes do not change the stream";
            }
        }
    }
    EXPECT_LT(reference.size(), realLooking.size()) << "zero-rich images get smaller";
}

TEST_F(EncoderTest, PendingBitsOfAFullBlockComeInTheNextBlock) {
    // Ten 0x00 are 20 bits: the first one-byte block takes 8 of them, the rest follows, and
    // the end of the file leaves the reader empty for the next file.
    const std::vector<uint8_t> zeros(10, 0x00);
    EXPECT_EQ(Encode(zeros, {1}), (std::vector<uint8_t>{0x00, 0x00, 0x0F}));
    EXPECT_EQ(Encode({0x00}), (std::vector<uint8_t>{0x3F})) << "a new file starts empty";
}

}  // namespace
