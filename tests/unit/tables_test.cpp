#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "frontend/tables.h"
#include "protocols/legacy_path.h"
#include "protocols/legacy_transfer.h"
#include "protocols/procedures.h"

namespace {

struct ProcedureCount {
    const char* name;
    DownloadProcedure procedure;
    int rows;
};

TEST(BootloaderTableTest, RowsPerProcedure) {
    const ProcedureCount expected[] = {
        {"1.x family", nullptr, 6},  // the four hyper-bootloader procedures together
        {"DownloadLoader20", DownloadLoader20, 7},
        {"DownloadLoader42", DownloadLoader42, 25},
        {"DownloadLoader46", DownloadLoader46, 3},
        {"DownloadLoader411", DownloadLoader411, 3},
        {"DownloadXmodem", DownloadXmodem, 2},
        {"StreamingDownload", StreamingDownload, 150},
        {"DownloadNotAvailable", DownloadNotAvailable, 1},
    };
    std::map<DownloadProcedure, int> counts;
    for (std::size_t i = 0; i < BootloaderRowCount; ++i) {
        ASSERT_NE(BootloaderTable[i].procedure, nullptr) << "row " << i;
        ++counts[BootloaderTable[i].procedure];
    }
    const int hyperRows = counts[DownloadLoader14] + counts[DownloadLoader15] +
                          counts[DownloadLoader16] + counts[DownloadLoader17];
    for (const ProcedureCount& e : expected) {
        SCOPED_TRACE(e.name);
        EXPECT_EQ(e.procedure == nullptr ? hyperRows : counts[e.procedure], e.rows);
    }
    EXPECT_EQ(counts.size(), 11u);  // no procedure outside the list above
}

// The tools name a row's procedure from the one list of named procedures: every procedure of
// the table has its own name there, and each name belongs to the function it names.
TEST(BootloaderTableTest, EveryProcedureHasItsOwnName) {
    const std::pair<DownloadProcedure, std::string> expected[] = {
        {StreamingDownload, "StreamingDownload"},       {DownloadLoader14, "DownloadLoader14"},
        {DownloadLoader15, "DownloadLoader15"},         {DownloadLoader16, "DownloadLoader16"},
        {DownloadLoader17, "DownloadLoader17"},         {DownloadLoader20, "DownloadLoader20"},
        {DownloadLoader42, "DownloadLoader42"},         {DownloadLoader46, "DownloadLoader46"},
        {DownloadLoader411, "DownloadLoader411"},       {DownloadXmodem, "DownloadXmodem"},
        {DownloadNotAvailable, "DownloadNotAvailable"},
    };
    ASSERT_EQ(DownloadProcedures.size(), std::size(expected));
    for (const auto& [procedure, name] : expected) {
        const char* listed = DownloadProcedureName(procedure);
        ASSERT_NE(listed, nullptr) << name;
        EXPECT_EQ(listed, name);
    }
    for (std::size_t i = 0; i < BootloaderRowCount; ++i) {
        EXPECT_NE(DownloadProcedureName(BootloaderTable[i].procedure), nullptr) << "row " << i;
    }
    EXPECT_EQ(DownloadProcedureName(nullptr), nullptr);
}

TEST(BootloaderTableTest, EndsWithOneTerminatingRow) {
    const BootloaderRow& last = BootloaderTable[BootloaderRowCount];
    EXPECT_STREQ(last.version, "");
    EXPECT_EQ(last.hardwareType, 0u);
    EXPECT_EQ(last.param, 0);
    EXPECT_EQ(last.procedure, nullptr);
}

// Consecutive rows with the same version, in table order: catches rows that are missing,
// duplicated or out of order.
TEST(BootloaderTableTest, VersionsAppearInTableOrderWithTheirRowCounts) {
    const std::vector<std::pair<std::string, int>> expected = {
        {"1.4", 1},   {"1.5", 1},   {"1.6", 1},    {"1.7", 1},  {"1.8", 1},  {"1.9", 1},
        {"2.0", 1},   {"2.1", 1},   {"2.2", 1},    {"3.1", 1},  {"3.2", 1},  {"3.3", 1},
        {"4.1", 1},   {"4.2", 1},   {"4.3", 1},    {"4.4", 1},  {"4.5", 1},  {"4.6", 1},
        {"4.7", 1},   {"4.8", 1},   {"4.9", 1},    {"4.10", 1}, {"4.11", 1}, {"4.12", 1},
        {"4.13", 1},  {"4.14", 1},  {"4.15", 1},   {"4.16", 1}, {"4.17", 1}, {"4.18", 1},
        {"4.19", 1},  {"4.20", 1},  {"4.21", 1},   {"4.22", 1}, {"4.23", 1}, {"4.24", 2},
        {"4.25", 1},  {"4.67", 1},  {"5.1", 1},    {"5.3", 1},  {"12.4", 6}, {"12.5", 6},
        {"12.6", 12}, {"20.5", 1},  {"20.6", 1},   {"20.7", 1}, {"20.8", 1}, {"21.0", 7},
        {"21.1", 6},  {"21.2", 6},  {"22.0", 1},   {"23.0", 6}, {"24.0", 6}, {"24.1", 6},
        {"24.2", 12}, {"24.3", 6},  {"24.4", 12},  {"24.5", 6}, {"24.6", 6}, {"24.7", 6},
        {"24.8", 12}, {"24.9", 12}, {"24.10", 12}, {"0.0", 6},
    };
    std::vector<std::pair<std::string, int>> runs;
    for (std::size_t i = 0; i < BootloaderRowCount; ++i) {
        const std::string version = BootloaderTable[i].version;
        if (runs.empty() || runs.back().first != version) {
            runs.emplace_back(version, 0);
        }
        ++runs.back().second;
    }
    EXPECT_EQ(runs, expected);
}

TEST(BootloaderTableTest, HardwareTypesFollowTheVersionInTheGivenOrder) {
    // The 21.0 rows mix two procedures; the 12.6 rows carry the wide set of types.
    std::vector<uint32_t> types21;
    std::vector<DownloadProcedure> procedures21;
    std::vector<uint32_t> types126;
    for (std::size_t i = 0; i < BootloaderRowCount; ++i) {
        const std::string version = BootloaderTable[i].version;
        if (version == "21.0") {
            types21.push_back(BootloaderTable[i].hardwareType);
            procedures21.push_back(BootloaderTable[i].procedure);
        } else if (version == "12.6") {
            types126.push_back(BootloaderTable[i].hardwareType);
        }
    }
    EXPECT_EQ(types21, (std::vector<uint32_t>{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16}));
    EXPECT_EQ(procedures21,
              (std::vector<DownloadProcedure>{
                  StreamingDownload, StreamingDownload, DownloadLoader42, StreamingDownload,
                  StreamingDownload, StreamingDownload, StreamingDownload}));
    EXPECT_EQ(types126, (std::vector<uint32_t>{0x10, 0x11, 0x13, 0x14, 0x15, 0x16, 0x20, 0x21, 0x23,
                                               0x24, 0x25, 0x26}));
}

TEST(BootloaderTableTest, ParamIsSetOnlyOnThe12xRows) {
    int withParam = 0;
    for (std::size_t i = 0; i < BootloaderRowCount; ++i) {
        const std::string version = BootloaderTable[i].version;
        const bool is12x = version == "12.4" || version == "12.5" || version == "12.6";
        EXPECT_EQ(BootloaderTable[i].param, is12x ? 1 : 0) << "row " << i << " " << version;
        withParam += BootloaderTable[i].param;
    }
    EXPECT_EQ(withParam, 24);
}

TEST(BootloaderTableTest, VersionTextsHaveNoLeadingZeros) {
    for (std::size_t i = 0; i < BootloaderRowCount; ++i) {
        int major = -1;
        int minor = -1;
        ASSERT_EQ(std::sscanf(BootloaderTable[i].version, "%d.%d", &major, &minor), 2);
        char canonical[32];
        std::snprintf(canonical, sizeof canonical, "%i.%i", major, minor);
        EXPECT_STREQ(BootloaderTable[i].version, canonical) << "row " << i;
    }
}

struct LookUpCase {
    LoaderVersion version;
    uint8_t hardwareType;
    DownloadProcedure procedure;  // nullptr: not supported
    int param;
};

TEST(LookUpLoaderTest, FindsTheRowForVersionAndHardwareType) {
    const LookUpCase cases[] = {
        {{1, 4}, 0x00, DownloadLoader14, 0},
        {{1, 7}, 0x01, DownloadLoader17, 0},
        {{1, 8}, 0x00, DownloadLoader16, 0},
        {{1, 9}, 0x00, nullptr, 0},
        {{2, 0}, 0x02, DownloadLoader20, 0},
        {{4, 1}, 0x02, DownloadLoader20, 0},
        {{4, 1}, 0x04, nullptr, 0},  // 4.1 is not 4.10
        {{4, 10}, 0x04, DownloadLoader42, 0},
        {{4, 10}, 0x02, nullptr, 0},
        {{4, 12}, 0x07, DownloadLoader411, 0},
        {{4, 14}, 0x05, DownloadLoader46, 0},
        {{4, 24}, 0x22, DownloadLoader42, 0},
        {{4, 24}, 0x12, DownloadLoader42, 0},
        {{4, 24}, 0x04, nullptr, 0},
        {{5, 3}, 0x04, DownloadXmodem, 0},
        {{12, 4}, 0x16, StreamingDownload, 1},
        {{12, 6}, 0x20, StreamingDownload, 1},
        {{12, 5}, 0x20, nullptr, 0},
        {{10, 0}, 0x04, nullptr, 0},  // legacy loaders are not in this table
        {{12, 3}, 0x04, nullptr, 0},
        {{21, 0}, 0x12, DownloadLoader42, 0},
        {{21, 0}, 0x13, StreamingDownload, 0},
        {{22, 0}, 0x12, DownloadNotAvailable, 0},
        {{24, 4}, 0x14, StreamingDownload, 0},
        {{24, 3}, 0x24, nullptr, 0},
        {{24, 10}, 0x26, StreamingDownload, 0},
        {{24, 11}, 0x14, nullptr, 0},
        {{0, 0}, 0x13, StreamingDownload, 0},
        {{0, 0}, 0x20, nullptr, 0},
    };
    for (const LookUpCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.version.major) + "." + std::to_string(c.version.minor) +
                     " type " + std::to_string(c.hardwareType));
        uint8_t hardwareType = c.hardwareType;
        uint32_t softwareId = 0x12345678;
        const std::size_t index = LookUpLoader(c.version, hardwareType, softwareId, 0);
        ASSERT_LE(index, BootloaderRowCount);
        const BootloaderRow& row = BootloaderTable[index];
        EXPECT_EQ(row.procedure, c.procedure);
        if (c.procedure == nullptr) {
            EXPECT_EQ(index, BootloaderRowCount);
        } else {
            EXPECT_EQ(row.param, c.param);
            EXPECT_EQ(row.hardwareType, c.hardwareType);
            EXPECT_EQ(row.version,
                      std::to_string(c.version.major) + "." + std::to_string(c.version.minor));
        }
        // Outside patch mode the caller's values stay as they were.
        EXPECT_EQ(hardwareType, c.hardwareType);
        EXPECT_EQ(softwareId, 0x12345678u);
    }
}

TEST(LookUpLoaderTest, PatchModeTakesTheFirstRowOfTheVersion) {
    struct PatchCase {
        LoaderVersion version;
        uint8_t hardwareTypeIn;
        uint8_t hardwareTypeOut;
        DownloadProcedure procedure;
    };
    const PatchCase cases[] = {
        {{21, 0}, 0x12, 0x10, StreamingDownload},  // never the 0x12 row
        {{4, 24}, 0x04, 0x12, DownloadLoader42},  {{12, 6}, 0x99, 0x10, StreamingDownload},
        {{4, 10}, 0x02, 0x04, DownloadLoader42},  {{1, 9}, 0x00, 0x01, DownloadLoader17},
    };
    for (const PatchCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.version.major) + "." + std::to_string(c.version.minor));
        uint8_t hardwareType = c.hardwareTypeIn;
        uint32_t softwareId = 0x00180004;
        const std::size_t index = LookUpLoader(c.version, hardwareType, softwareId, 1);
        ASSERT_LT(index, BootloaderRowCount);
        EXPECT_EQ(BootloaderTable[index].procedure, c.procedure);
        EXPECT_EQ(hardwareType, c.hardwareTypeOut);
        EXPECT_EQ(softwareId, VersionId(c.version));
        // It is the first row with this version.
        const std::string version = BootloaderTable[index].version;
        EXPECT_TRUE(index == 0 || version != BootloaderTable[index - 1].version);
    }
}

TEST(LookUpLoaderTest, PatchModeWithAnUnknownVersionFindsNothing) {
    uint8_t hardwareType = 0x14;
    uint32_t softwareId = 0;
    EXPECT_EQ(LookUpLoader({9, 9}, hardwareType, softwareId, 1), BootloaderRowCount);
    EXPECT_EQ(softwareId, 0x00090009u);
}

TEST(LegacyLoaderTableTest, RowsNameTheirTransferVariant) {
    struct Expected {
        const char* version;
        uint32_t softwareId;
        LegacyTransferRoutine transfer;
    };
    const Expected expected[] = {
        {"10.0", 0x000A0000, LegacyTransfer10}, {"11.0", 0x000B0000, LegacyTransfer11},
        {"11.1", 0x000B0001, LegacyTransfer11}, {"12.0", 0x000C0000, LegacyTransfer12},
        {"12.1", 0x000C0001, LegacyTransfer12}, {"12.2", 0x000C0002, LegacyTransfer12},
        {"12.3", 0x000C0003, LegacyTransfer12},
    };
    for (std::size_t i = 0; i < LegacyRowCount; ++i) {
        SCOPED_TRACE(i);
        const LegacyLoaderRow& row = LegacyLoaderTable[i];
        EXPECT_STREQ(row.version, expected[i].version);
        EXPECT_EQ(row.softwareId, expected[i].softwareId);
        EXPECT_EQ(row.hardwareType, 4u);
        EXPECT_EQ(row.compressFrom, 0x4000u);
        EXPECT_EQ(row.transfer, expected[i].transfer);
        // The version text is the software id's high and low halves.
        char text[32];
        std::snprintf(text, sizeof text, "%u.%u", row.softwareId >> 16, row.softwareId & 0xFFFF);
        EXPECT_STREQ(row.version, text);
    }
    const LegacyLoaderRow& last = LegacyLoaderTable[LegacyRowCount];
    EXPECT_STREQ(last.version, "");
    EXPECT_EQ(last.softwareId, 0u);
    EXPECT_EQ(last.transfer, nullptr);
}

TEST(FindLegacyRowTest, NeedsSoftwareIdAndHardwareType) {
    struct Case {
        uint32_t softwareId;
        uint8_t hardwareType;
        bool found;
    };
    const Case cases[] = {
        {0x000B0001, 4, true},  {0x000B0001, 5, false}, {0x000A0000, 4, true},
        {0x000C0003, 4, true},  {0x000C0004, 4, false}, {0x00180004, 0x14, false},
        {0x000A0001, 4, false}, {0, 0, false},  // the terminating row is no legacy loader
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.softwareId);
        EXPECT_EQ(FindLegacyRow(c.softwareId, c.hardwareType), c.found);
    }
}

}  // namespace
