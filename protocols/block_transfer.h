// Pieces shared by the two block senders (SendImageBlocks and SendCompressedImage): the reply
// scan over what the box sends back, the progress line, the wait between idle passes and the
// reset of the encoding file reader.
#pragma once

#include <array>
#include <cstdint>
#include <span>

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
uint32_t ScanReply(ReplyScan& scan, std::span<const uint8_t> received);

// Prints "%4i %% transfered       " and 27 backspaces, so that the next print overwrites it.
void PrintTransferProgress(uint32_t percentage);

// How long an idle pass (nothing written, nothing received) may block on the port: until
// something arrives, at most until the limit would be exceeded (limitMs 0: no limit) and never
// longer than a short slice, after which the write is tried again (the port may take bytes
// again without the box having said anything).
uint32_t IdleWaitMs(uint32_t limitMs, uint32_t elapsedMs);

// Empties the encoder state of ReadImageBlock, so that the next encoded read starts a new
// stream. SendImageBlocks does this at the start of every transfer.
void ResetImageBlockReader();
