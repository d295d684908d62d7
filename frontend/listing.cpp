// The version listing of option -V: the program's version and every bootloader version that
// the dispatch tables serve. The standard form sorts the versions and groups them by major
// version; the service form lists the tables as they are, row order included.
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "frontend/startup.h"
#include "frontend/tables.h"

namespace {

struct VersionPair {
    int major = 0;
    int minor = 0;
};

// Reads "major.minor" from a table's version text; a text that is not of this form reads as
// 0.0 (the tables hold no such text).
VersionPair ReadVersionText(const char* text) {
    VersionPair pair;
    const char* end = text + std::strlen(text);
    auto [afterMajor, error] = std::from_chars(text, end, pair.major);
    if (error != std::errc() || afterMajor == end || *afterMajor != '.') {
        return {};
    }
    if (std::from_chars(afterMajor + 1, end, pair.minor).ec != std::errc()) {
        return {};
    }
    return pair;
}

// Room for the distinct versions of both tables: at most one per row.
constexpr std::size_t MaxListedVersions = BootloaderTable.size() + LegacyLoaderTable.size();

void PrintStandardListing() {
    std::array<VersionPair, MaxListedVersions> pairs{};
    std::size_t count = 0;
    auto collect = [&](const char* text) {
        const VersionPair pair = ReadVersionText(text);
        for (std::size_t i = 0; i < count; ++i) {
            if (pairs[i].major == pair.major && pairs[i].minor == pair.minor) {
                return;
            }
        }
        if (count < pairs.size()) {
            pairs[count++] = pair;
        }
    };
    for (const BootloaderRow& row : BootloaderTable) {
        if (row.procedure == nullptr) {
            break;
        }
        // Rows for loaders that report no version are not a version to advertise.
        if (ReadVersionText(row.version).major != 0) {
            collect(row.version);
        }
    }
    for (const LegacyLoaderRow& row : LegacyLoaderTable) {
        if (row.transfer == nullptr) {
            break;
        }
        collect(row.version);
    }

    // Ascending by major * 4095 + minor; on equal keys the first collected pair goes first.
    std::array<bool, MaxListedVersions> printed{};
    std::fputs("\n\t", stdout);
    bool anyPrinted = false;
    int lastMajor = 0;
    int column = 0;
    for (std::size_t round = 0; round < count; ++round) {
        std::size_t next = count;
        long long nextKey = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const long long key = static_cast<long long>(pairs[i].major) * 4095 + pairs[i].minor;
            if (!printed[i] && (next == count || key < nextKey)) {
                next = i;
                nextKey = key;
            }
        }
        const VersionPair pair = pairs[next];
        if (!anyPrinted || pair.major != lastMajor) {
            std::fputs("\n\t", stdout);
            column = 0;
        }
        ++column;
        std::printf("%2i.%i ", pair.major, pair.minor);
        if (pair.minor < 10) {
            std::fputs(" ", stdout);
        }
        if (column > 9) {
            std::fputs("\n\t", stdout);
            column = 0;
        }
        printed[next] = true;
        anyPrinted = true;
        lastMajor = pair.major;
    }
    std::fputs("\n\n", stdout);
}

// One table in the service form: each version once per run of equal rows, a new line per
// major version, and a continuation line after ten entries. `countEveryRow` counts the column
// for every row instead of for every printed entry.
class ServiceTablePrinter {
  public:
    explicit ServiceTablePrinter(bool countEveryRow) : countEveryRow_(countEveryRow) {}

    void Row(const char* versionText) {
        if (countEveryRow_) {
            ++column_;
        }
        if (column_ > 9) {
            std::fputs("\n\t\t", stdout);
            column_ = 0;
        }
        const VersionPair pair = ReadVersionText(versionText);
        const double number = std::strtod(versionText, nullptr);
        if (number != lastNumber_) {
            if (!anyPrinted_ || pair.major != lastMajor_) {
                std::fputs("\n\t", stdout);
                column_ = 0;
            }
            std::printf("%s ", versionText);
            if (!countEveryRow_) {
                ++column_;
            }
            anyPrinted_ = true;
            lastNumber_ = number;
            lastMajor_ = pair.major;
        }
    }

  private:
    bool countEveryRow_;
    bool anyPrinted_ = false;
    double lastNumber_ = -1.0;
    int lastMajor_ = 0;
    int column_ = 0;
};

void PrintServiceListing() {
    ServiceTablePrinter loaders(false);
    for (const BootloaderRow& row : BootloaderTable) {
        if (row.procedure == nullptr) {
            break;
        }
        loaders.Row(row.version);
    }
    std::fputs("\n", stdout);

    ServiceTablePrinter legacy(true);
    for (const LegacyLoaderRow& row : LegacyLoaderTable) {
        if (row.transfer == nullptr) {
            break;
        }
        legacy.Row(row.version);
    }
    std::fputs("\n", stdout);
}

}  // namespace

void PrintVersionListing(int major, int minor, const char* programName, int standardForm) {
    std::printf("%s %i.%i\n", programName, major, minor);
    std::fputs("Serial software update for digital satellite receivers.\n", stdout);
    std::printf("%s\n", messageText(Message::SupportedVersions));
    if (standardForm == 1) {
        PrintStandardListing();
    } else {
        PrintServiceListing();
    }
}
