// The acknowledged block transfer: the fixed prefix code of the encoded download, the file
// reader that applies it, and the sender that pushes a file to a menu-driven bootloader in
// 10,240-byte blocks while it watches the box's replies. Also the pieces that the compressed
// download shares with it: the reply scan, the progress line and the wait between idle passes.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "serial/port.h"

class File;

// The fixed prefix code of the encoded download: code length (2 to 13 bits) and code value
// (the low `length` bits of `value`, sent most significant bit first), one entry per byte.
struct ByteCode {
    uint8_t length;
    uint16_t value;
};
extern const std::array<ByteCode, 256> ByteCodeTable;

// How a file goes out: byte for byte, or prefix-coded with ByteCodeTable.
enum class Encoding { Plain, PrefixCoded };
// Whether a transfer prints its running percentage.
enum class Progress { Hidden, Shown };
// Whether the file may begin with a lead-in record (0x11, its length, the record) that goes out
// by itself, followed by a pause before the rest of the file. Such a file is never encoded.
enum class LeadIn { None, Expected };

// Delivers at most `wanted` bytes of the file (prefix-coded or plain) into `buffer`: `produced`
// bytes delivered, `consumed` bytes taken from the file. 0 delivered bytes means the end of the
// file. Returns 1 on success, 0 on failure. The encoder state carries over between calls and is
// empty again once the end of a file has been delivered.
[[nodiscard]] int ReadImageBlock(File& file, uint8_t* buffer, uint32_t wanted, uint32_t& produced,
                                 uint32_t& consumed, Encoding encoding);

// Empties the encoder state of ReadImageBlock, so that the next encoded read starts a new
// stream. SendImageBlocks does this at the start of every transfer.
void ResetImageBlockReader();

// Pushes a file in 10,240-byte blocks (optionally prefix-coded), watching the box's replies.
// silenceLimitMs: the longest time in which nothing moves (NoTimeLimit: none). 1 when the whole
// file was sent, 0 on failure with the reason in the last-error value.
[[nodiscard]] int SendImageBlocks(SerialLink link, const char* fileName, uint32_t silenceLimitMs,
                                  Progress progress, Encoding encoding, LeadIn leadIn);
// Prints the failure of a transfer by its last-error value and closes the port.
void ReportTransferFailure(SerialLink link, uint32_t value);

// ---- Shared with the compressed download ------------------------------------------------

// Size of one block on the line and of one reply read.
inline constexpr uint32_t TransferBlockSize = 10240;

// Received bytes of the last reply read, with room for a terminating zero byte.
extern std::array<uint8_t, TransferBlockSize + 1> ReplyBuffer;

// The box's texts that end a transfer, in the order of their match positions.
enum WatchedText { WatchFlashId = 0, WatchErrorText = 1, WatchStop = 2, WatchedTextCount = 3 };

// State of the reply scan for one transfer: a match position per watched text and the count of
// ":"/";" pacing characters since the last "." / "e" / "p". Both carry over from one reply read
// to the next and from block to block.
struct ReplyScan {
    std::array<uint32_t, WatchedTextCount> matched{};
    uint32_t colons = 0;
    bool watchStop = true;  // the compressed download does not watch "STOP"
};

// Runs the scan over `received`, character by character. Returns 0 when the transfer may go
// on, otherwise the failure value (ErrorFlashIdMismatch, ErrorBoxErrorText, ErrorBoxStop or
// ErrorBoxFlashReport). A completed text or a failing status character ends the scan at once.
[[nodiscard]] uint32_t ScanReply(ReplyScan& scan, std::span<const uint8_t> received);

// Prints "%4i %% transfered       " and 27 backspaces, so that the next print overwrites it.
void PrintTransferProgress(uint32_t percentage);

// How long an idle pass (nothing written, nothing received) may block on the port: until
// something arrives, at most until the limit would be exceeded (limitMs 0: no limit) and never
// longer than a short slice, after which the write is tried again (the port may take bytes
// again without the box having said anything).
[[nodiscard]] uint32_t IdleWaitMs(uint32_t limitMs, uint32_t elapsedMs);
