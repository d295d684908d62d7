// The BootloaderTable, written as groups (a list of versions served on a list of hardware types
// by one procedure) and expanded at compile time into one row per version and type: version by
// version, and within a version type by type.
#include "frontend/tables.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <span>
#include <string_view>

#include "protocols/procedures.h"

namespace {

class BootloaderTableBuilder {
  public:
    constexpr void Add(std::initializer_list<const char*> versions,
                       std::initializer_list<uint8_t> hardwareTypes, DownloadProcedure procedure,
                       int param) {
        Add(versions, std::span<const uint8_t>(hardwareTypes.begin(), hardwareTypes.size()),
            procedure, param);
    }

    constexpr void Add(std::initializer_list<const char*> versions,
                       std::span<const uint8_t> hardwareTypes, DownloadProcedure procedure,
                       int param) {
        for (const char* version : versions) {
            for (uint8_t hardwareType : hardwareTypes) {
                if (count_ >= BootloaderRowCount) {
                    // More rows than the table holds: not a constant expression, so the
                    // build fails.
                    std::abort();
                }
                rows_[count_++] = BootloaderRow{version, hardwareType, param, procedure};
            }
        }
    }

    // The rows and the terminating row (empty version, no procedure).
    constexpr std::array<BootloaderRow, BootloaderRowCount + 1> Finish() {
        if (count_ != BootloaderRowCount) {
            std::abort();
        }
        rows_[count_] = BootloaderRow{"", 0, 0, nullptr};
        return rows_;
    }

  private:
    std::array<BootloaderRow, BootloaderRowCount + 1> rows_{};
    std::size_t count_ = 0;
};

// Hardware types of the X-modem streaming boxes: the six of the first generation, and the same
// six followed by their 0x2x successors.
constexpr std::array<uint8_t, 6> StreamingTypes{0x10, 0x11, 0x13, 0x14, 0x15, 0x16};
constexpr std::array<uint8_t, 12> StreamingWideTypes{0x10, 0x11, 0x13, 0x14, 0x15, 0x16,
                                                     0x20, 0x21, 0x23, 0x24, 0x25, 0x26};

// The rows' parameter: the streaming rows of 12.4 to 12.6 raise the process priority while the
// download runs; no other procedure looks at it.
constexpr int NoParam = 0;
constexpr int RaisePriority = 1;

constexpr std::array<BootloaderRow, BootloaderRowCount + 1> BuildBootloaderTable() {
    BootloaderTableBuilder b;
    // Loaders that need the hyper bootloader first.
    b.Add({"1.4"}, {0x00}, DownloadLoader14, NoParam);
    b.Add({"1.5"}, {0x00}, DownloadLoader15, NoParam);
    b.Add({"1.6"}, {0x00}, DownloadLoader16, NoParam);
    b.Add({"1.7"}, {0x01}, DownloadLoader17, NoParam);
    b.Add({"1.8"}, {0x00}, DownloadLoader16, NoParam);
    b.Add({"1.9"}, {0x01}, DownloadLoader17, NoParam);
    // Menu-driven loaders.
    b.Add({"2.0", "2.1", "2.2", "3.1", "3.2", "3.3", "4.1"}, {0x02}, DownloadLoader20, NoParam);
    b.Add({"4.2", "4.3", "4.4", "4.5"}, {0x04}, DownloadLoader42, NoParam);
    b.Add({"4.6", "4.7"}, {0x05}, DownloadLoader46, NoParam);
    b.Add({"4.8", "4.9", "4.10"}, {0x04}, DownloadLoader42, NoParam);
    b.Add({"4.11", "4.12", "4.13"}, {0x07}, DownloadLoader411, NoParam);
    b.Add({"4.14"}, {0x05}, DownloadLoader46, NoParam);
    b.Add({"4.15", "4.16", "4.17", "4.18", "4.19", "4.20"}, {0x04}, DownloadLoader42, NoParam);
    b.Add({"4.21", "4.22", "4.23"}, {0x12}, DownloadLoader42, NoParam);
    b.Add({"4.24"}, {0x12, 0x22}, DownloadLoader42, NoParam);
    b.Add({"4.25", "4.67"}, {0x12}, DownloadLoader42, NoParam);
    // X-modem with verdict lines.
    b.Add({"5.1", "5.3"}, {0x04}, DownloadXmodem, NoParam);
    // Streaming loaders; the 12.x rows ask for a raised process priority.
    b.Add({"12.4", "12.5"}, StreamingTypes, StreamingDownload, RaisePriority);
    b.Add({"12.6"}, StreamingWideTypes, StreamingDownload, RaisePriority);
    b.Add({"20.5", "20.6", "20.7", "20.8"}, {0x12}, DownloadLoader42, NoParam);
    b.Add({"21.0"}, {0x10, 0x11}, StreamingDownload, NoParam);
    b.Add({"21.0"}, {0x12}, DownloadLoader42, NoParam);
    b.Add({"21.0"}, {0x13, 0x14, 0x15, 0x16}, StreamingDownload, NoParam);
    b.Add({"21.1", "21.2"}, StreamingTypes, StreamingDownload, NoParam);
    b.Add({"22.0"}, {0x12}, DownloadNotAvailable, NoParam);
    b.Add({"23.0", "24.0", "24.1"}, StreamingTypes, StreamingDownload, NoParam);
    b.Add({"24.2"}, StreamingWideTypes, StreamingDownload, NoParam);
    b.Add({"24.3"}, StreamingTypes, StreamingDownload, NoParam);
    b.Add({"24.4"}, StreamingWideTypes, StreamingDownload, NoParam);
    b.Add({"24.5", "24.6", "24.7"}, StreamingTypes, StreamingDownload, NoParam);
    b.Add({"24.8", "24.9", "24.10"}, StreamingWideTypes, StreamingDownload, NoParam);
    // Boxes whose loader reports no version.
    b.Add({"0.0"}, StreamingTypes, StreamingDownload, NoParam);
    return b.Finish();
}

}  // namespace

constinit const std::array<BootloaderRow, BootloaderRowCount + 1> BootloaderTable =
    BuildBootloaderTable();

std::size_t LookUpLoader(LoaderVersion version, uint8_t& hardwareType, uint32_t& softwareId,
                         int patchImage) {
    char text[32];
    std::snprintf(text, sizeof text, "%i.%i", version.major, version.minor);
    std::size_t index = 0;
    for (; BootloaderTable[index].procedure != nullptr; ++index) {
        const BootloaderRow& row = BootloaderTable[index];
        if (patchImage == 1) {
            // The image is to be matched to the box: take over the row's hardware type and
            // the box's own version as software id.
            hardwareType = static_cast<uint8_t>(row.hardwareType & 0xFF);
            softwareId = VersionId(version);
        }
        if (std::string_view(row.version) == text &&
            static_cast<uint8_t>(row.hardwareType & 0xFF) == hardwareType) {
            return index;
        }
    }
    return index;
}
