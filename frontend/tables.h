// The dispatch tables: which download procedure serves which bootloader version and hardware
// type. The LegacyLoaderTable of the legacy loaders lives with the legacy path
// (protocols/legacy_path.h) and is included here for the callers that look at both.
//
// The BootloaderTable is written below as groups (a list of versions served on a list of
// hardware types by one procedure) and expanded at compile time into one row per version and
// type: version by version, and within a version type by type. Its size follows from the groups;
// tables.cpp checks at compile time that every named procedure serves some row and that no row
// is hidden by an earlier one.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <span>
#include <string_view>

#include "common/settings.h"
#include "protocols/legacy_path.h"
#include "protocols/procedures.h"

struct BootloaderRow {
    const char* version;    // "major.minor" in decimal, e.g. "4.10"
    uint32_t hardwareType;  // only the low 8 bits are compared
    int param;              // 1 on the 12.4 to 12.6 rows (raise the process priority)
    DownloadProcedure procedure;
};

namespace bootloader_rows {

// Expands the groups into rows at `out`, or only counts them when `out` is nullptr. A group names
// its procedure as DownloadProcedures lists it, so that a row's procedure and the name the log
// and the tools show for it cannot disagree; a name that is not listed there does not compile.
class RowWriter {
  public:
    constexpr explicit RowWriter(BootloaderRow* out) : out_(out) {}

    constexpr void Add(std::initializer_list<const char*> versions,
                       std::initializer_list<uint8_t> hardwareTypes, std::string_view procedure,
                       int param) {
        Add(versions, std::span<const uint8_t>(hardwareTypes.begin(), hardwareTypes.size()),
            procedure, param);
    }

    constexpr void Add(std::initializer_list<const char*> versions,
                       std::span<const uint8_t> hardwareTypes, std::string_view procedure,
                       int param) {
        const std::size_t listed = ListedIndex(procedure);
        for (const char* version : versions) {
            for (uint8_t hardwareType : hardwareTypes) {
                if (out_ != nullptr) {
                    out_[count_] = BootloaderRow{version, hardwareType, param,
                                                 DownloadProcedures[listed].procedure};
                }
                ++count_;
                served_[listed] = true;
            }
        }
    }

    [[nodiscard]] constexpr std::size_t Count() const { return count_; }

    // Whether every listed procedure got at least one row.
    [[nodiscard]] constexpr bool ServesEveryProcedure() const {
        return std::ranges::all_of(served_, std::identity{});
    }

  private:
    static constexpr std::size_t ListedIndex(std::string_view name) {
        for (std::size_t i = 0; i < DownloadProcedures.size(); ++i) {
            if (name == DownloadProcedures[i].name) {
                return i;
            }
        }
        // Not a constant expression: the build fails.
        std::abort();
    }

    BootloaderRow* out_;
    std::size_t count_ = 0;
    std::array<bool, DownloadProcedures.size()> served_{};
};

// Hardware types of the X-modem streaming boxes: the six of the first generation, and the same
// six followed by their 0x2x successors.
inline constexpr std::array<uint8_t, 6> StreamingTypes{0x10, 0x11, 0x13, 0x14, 0x15, 0x16};
inline constexpr std::array<uint8_t, 12> StreamingWideTypes{0x10, 0x11, 0x13, 0x14, 0x15, 0x16,
                                                            0x20, 0x21, 0x23, 0x24, 0x25, 0x26};

// The rows' parameter: the streaming rows of 12.4 to 12.6 raise the process priority while the
// download runs; no other procedure looks at it.
inline constexpr int NoParam = 0;
inline constexpr int RaisePriority = 1;

// The rows, in table order.
constexpr void AddRows(RowWriter& b) {
    // Loaders that need the hyper bootloader first.
    b.Add({"1.4"}, {0x00}, "DownloadLoader14", NoParam);
    b.Add({"1.5"}, {0x00}, "DownloadLoader15", NoParam);
    b.Add({"1.6"}, {0x00}, "DownloadLoader16", NoParam);
    b.Add({"1.7"}, {0x01}, "DownloadLoader17", NoParam);
    b.Add({"1.8"}, {0x00}, "DownloadLoader16", NoParam);
    b.Add({"1.9"}, {0x01}, "DownloadLoader17", NoParam);
    // Menu-driven loaders.
    b.Add({"2.0", "2.1", "2.2", "3.1", "3.2", "3.3", "4.1"}, {0x02}, "DownloadLoader20", NoParam);
    b.Add({"4.2", "4.3", "4.4", "4.5"}, {0x04}, "DownloadLoader42", NoParam);
    b.Add({"4.6", "4.7"}, {0x05}, "DownloadLoader46", NoParam);
    b.Add({"4.8", "4.9", "4.10"}, {0x04}, "DownloadLoader42", NoParam);
    b.Add({"4.11", "4.12", "4.13"}, {0x07}, "DownloadLoader411", NoParam);
    b.Add({"4.14"}, {0x05}, "DownloadLoader46", NoParam);
    b.Add({"4.15", "4.16", "4.17", "4.18", "4.19", "4.20"}, {0x04}, "DownloadLoader42", NoParam);
    b.Add({"4.21", "4.22", "4.23"}, {0x12}, "DownloadLoader42", NoParam);
    b.Add({"4.24"}, {0x12, 0x22}, "DownloadLoader42", NoParam);
    b.Add({"4.25", "4.67"}, {0x12}, "DownloadLoader42", NoParam);
    // X-modem with verdict lines.
    b.Add({"5.1", "5.3"}, {0x04}, "DownloadXmodem", NoParam);
    // Streaming loaders; the 12.x rows ask for a raised process priority.
    b.Add({"12.4", "12.5"}, StreamingTypes, "StreamingDownload", RaisePriority);
    b.Add({"12.6"}, StreamingWideTypes, "StreamingDownload", RaisePriority);
    b.Add({"20.5", "20.6", "20.7", "20.8"}, {0x12}, "DownloadLoader42", NoParam);
    b.Add({"21.0"}, {0x10, 0x11}, "StreamingDownload", NoParam);
    b.Add({"21.0"}, {0x12}, "DownloadLoader42", NoParam);
    b.Add({"21.0"}, {0x13, 0x14, 0x15, 0x16}, "StreamingDownload", NoParam);
    b.Add({"21.1", "21.2"}, StreamingTypes, "StreamingDownload", NoParam);
    b.Add({"22.0"}, {0x12}, "DownloadNotAvailable", NoParam);
    b.Add({"23.0", "24.0", "24.1"}, StreamingTypes, "StreamingDownload", NoParam);
    b.Add({"24.2"}, StreamingWideTypes, "StreamingDownload", NoParam);
    b.Add({"24.3"}, StreamingTypes, "StreamingDownload", NoParam);
    b.Add({"24.4"}, StreamingWideTypes, "StreamingDownload", NoParam);
    b.Add({"24.5", "24.6", "24.7"}, StreamingTypes, "StreamingDownload", NoParam);
    b.Add({"24.8", "24.9", "24.10"}, StreamingWideTypes, "StreamingDownload", NoParam);
    // Boxes whose loader reports no version.
    b.Add({"0.0"}, StreamingTypes, "StreamingDownload", NoParam);
}

constexpr std::size_t CountRows() {
    RowWriter counter(nullptr);
    AddRows(counter);
    return counter.Count();
}

}  // namespace bootloader_rows

// The rows of the BootloaderTable, not counting its terminating row.
inline constexpr std::size_t BootloaderRowCount = bootloader_rows::CountRows();

namespace bootloader_rows {

constexpr std::array<BootloaderRow, BootloaderRowCount + 1> BuildTable() {
    std::array<BootloaderRow, BootloaderRowCount + 1> rows{};
    RowWriter writer(rows.data());
    AddRows(writer);
    rows.back() = BootloaderRow{"", 0, 0, nullptr};
    return rows;
}

}  // namespace bootloader_rows

// The rows and one terminating row without a procedure.
inline constexpr std::array<BootloaderRow, BootloaderRowCount + 1> BootloaderTable =
    bootloader_rows::BuildTable();

// Index of the first row matching the version text and hardware type, or of the terminating
// row. In patch mode every row's hardware type is taken over (so the first row with the version
// wins) and softwareId becomes the version id; both changes reach the caller.
[[nodiscard]] std::size_t LookUpLoader(LoaderVersion version, uint8_t& hardwareType,
                                       uint32_t& softwareId, int patchImage);
