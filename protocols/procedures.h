// The download procedures, one family per bootloader generation, and the transfers they share.
// Every procedure named by the BootloaderTable has the DownloadProcedure signature (tables.h).
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "frontend/tables.h"
#include "serial/serial_link.h"

// ---- Streaming download and the X-modem senders (12.4 to 12.6, 21.x to 24.x, 0.0) --------
int StreamingDownload(SerialLink link, const char* imageName, uint32_t imageLength,
                      uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                      uint32_t baudRate, int patchImage, int param);
// Sends a file by X-modem (checksum mode); 0 when the file and the EOT went out, 1 on failure.
int XmodemSendFile(SerialLink link, const char* fileName);
// Sends the first n bytes of ImageBuffer by X-modem; 0 or 1 as XmodemSendFile.
int XmodemSendBuffer(SerialLink link, uint32_t n);

// ---- Acknowledged block transfer ------------------------------------------------------------
// The fixed prefix code of the encoded download: code length (2 to 13 bits) and code value
// (the low `length` bits of `value`, sent most significant bit first), one entry per byte.
struct ByteCode {
    uint8_t length;
    uint16_t value;
};
extern const std::array<ByteCode, 256> ByteCodeTable;

// Delivers at most `wanted` bytes of the file (prefix-coded when `encode` is non-zero) into
// `buffer`: `produced` bytes delivered, `consumed` bytes taken from the file. 0 delivered bytes
// means the end of the file. Returns 1 on success, 0 on failure. The encoder state carries
// over between calls and is empty again once the end of a file has been delivered.
class File;
int ReadImageBlock(File& file, uint8_t* buffer, uint32_t wanted, uint32_t& produced,
                   uint32_t& consumed, int encode);

// Pushes a file in 10,240-byte blocks (optionally prefix-coded), watching the box's replies.
// 1 when the whole file was sent, 0 on failure with the reason in the last-error value.
int SendImageBlocks(SerialLink link, const char* fileName, uint32_t silenceLimitMs,
                    int showProgress, int encode, int leadIn);
// Prints the failure of a transfer by its last-error value and closes the port.
void ReportTransferFailure(SerialLink link, uint32_t value);

// ---- Compressed download --------------------------------------------------------------------
// Reads, optionally patches, compresses and sends an image as a CompressedImage container.
// 1 on success, 0 on failure with the reason in the last-error value.
int SendCompressedImage(SerialLink link, const char* fileName, int type, uint32_t softwareId,
                        uint32_t limitMs, int showProgress, int ignored, int patchImage);

// ---- Menu-driven 2.x to 4.x loaders ---------------------------------------------------------
int DownloadLoader20(SerialLink link, const char* imageName, uint32_t imageLength,
                     uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                     uint32_t baudRate, int patchImage, int param);
int DownloadLoader42(SerialLink link, const char* imageName, uint32_t imageLength,
                     uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                     uint32_t baudRate, int patchImage, int param);
int DownloadLoader46(SerialLink link, const char* imageName, uint32_t imageLength,
                     uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                     uint32_t baudRate, int patchImage, int param);

// ---- Hyper-bootloader download (1.4 to 1.9) ------------------------------------------------
int DownloadLoader14(SerialLink link, const char* imageName, uint32_t imageLength,
                     uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                     uint32_t baudRate, int patchImage, int param);
int DownloadLoader15(SerialLink link, const char* imageName, uint32_t imageLength,
                     uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                     uint32_t baudRate, int patchImage, int param);
int DownloadLoader16(SerialLink link, const char* imageName, uint32_t imageLength,
                     uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                     uint32_t baudRate, int patchImage, int param);
int DownloadLoader17(SerialLink link, const char* imageName, uint32_t imageLength,
                     uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                     uint32_t baudRate, int patchImage, int param);
// Second stage: wakes the running hyper bootloader and sends the image to it.
// 0 on success (port open), 1 on failure (port closed).
int SendViaHyperBootloader(SerialLink link, const char* imageFileName, uint8_t hyperType);

// ---- 4.11 to 4.13 loaders -------------------------------------------------------------------
int DownloadLoader411(SerialLink link, const char* imageName, uint32_t imageLength,
                      uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                      uint32_t baudRate, int patchImage, int param);
// The 5-byte BoxTimeStamp for a local date and time: the Modified Julian Date (low 16 bits,
// big-endian), then hour, minute and second as two BCD digits each.
void BuildBoxTimeStamp(int year, int month, int day, int hour, int minute, int second,
                       uint8_t out[5]);

// ---- X-modem download with verdict lines (5.1, 5.3) ---------------------------------------
int DownloadXmodem(SerialLink link, const char* imageName, uint32_t imageLength,
                   uint32_t softwareId, int quitRequest, int compressedImage, int compressInput,
                   uint32_t baudRate, int patchImage, int param);

// ---- Placeholder for 22.0 -------------------------------------------------------------------
int DownloadNotAvailable(SerialLink link, const char* imageName, uint32_t imageLength,
                         uint32_t softwareId, int quitRequest, int compressedImage,
                         int compressInput, uint32_t baudRate, int patchImage, int param);

// ---- Legacy loaders 10.0 to 12.3 ------------------------------------------------------------
// 0 on success (port open), 1 on failure.
int LegacyDownload(SerialLink link, const char* imageName, int patchImage);

// The kind of image sent to a legacy loader, chosen from the -t letter (upper case).
enum class LegacyState : char {
    None = 0,
    A = 'A',  // application in flash
    F = 'F',  // factory settings
    R = 'R',  // application in RAM
    B = 'B',  // boot image in flash
    C = 'C',  // boot image in RAM
    S = 'S',  // software-download image in flash
};
// Set by CheckImageType for every update; read by the access, the id check and the transfer.
extern LegacyState LegacyImageState;

// A PAD image payload loaded for the legacy transfer. The block holds payloadCapacity bytes,
// more than payloadLength, so that an incompressible rest can be compressed in place.
struct LegacyImage {
    std::unique_ptr<uint8_t[]> payload;
    uint32_t payloadCapacity = 0;
    uint32_t payloadLength = 0;
    uint32_t softwareId = 0;  // 0 when the file's tag holds none
};
// Loads and checks a PAD image (tag of 0, 1 or 5 bytes, matching sum, nothing behind the
// sum). 1 on success; 0 on failure, with `image` left empty.
int LoadLegacyImage(const char* fileName, LegacyImage& image);
// Checks the payload against the image type letter (any case) and sets LegacyImageState.
// 1 when accepted; 0 after printing the reason (nothing for a rejected R, B, C or S image).
int CheckImageType(char letter, const uint8_t* payload, uint32_t payloadLength);
// Sends the loader keyword until the loader answers 0x01 (at most 10 times; in state B once,
// without waiting). 1 on success, 0 on failure.
int OpenLegacyLoader(SerialLink link);
// Asks the reached loader for its software id. 1 on success, 0 on failure.
int QueryBoxSoftwareId(SerialLink link, uint32_t& boxSoftwareId);

// The three transfer variants named by the LegacyLoaderTable.
int LegacyTransfer10(SerialLink link, uint8_t* payload, uint32_t payloadCapacity,
                     uint32_t& payloadLength, uint32_t compressFrom);
int LegacyTransfer11(SerialLink link, uint8_t* payload, uint32_t payloadCapacity,
                     uint32_t& payloadLength, uint32_t compressFrom);
int LegacyTransfer12(SerialLink link, uint8_t* payload, uint32_t payloadCapacity,
                     uint32_t& payloadLength, uint32_t compressFrom);

// ---- Satellite update request ---------------------------------------------------------------
// Menu answer for a satellite method name ("5", "6", "8"), or nullptr when the name has none.
const char* SatelliteMenuAnswer(const char* methodName);
// 0 when the answer was sent (port open), 1 on failure (port closed).
int RequestSatelliteUpdate(SerialLink link, const char* answer);
