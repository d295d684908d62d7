#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/settings.h"
#include "frontend/startup.h"

namespace {

class LanguageGuard {
  public:
    explicit LanguageGuard(int value) : saved_(language) { language = value; }
    ~LanguageGuard() { language = saved_; }

  private:
    int saved_;
};

std::string CaptureListing(int major, int minor, const char* programName, int standardForm) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    PrintVersionListing(major, minor, programName, standardForm);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

const char* const Notice = "Serial software update for digital satellite receivers.\n";

// Sorted by version, one line per major version, at most ten versions on a line.
const std::string StandardBody =
    "\n\t"
    "\n\t 1.4   1.5   1.6   1.7   1.8   1.9  "
    "\n\t 2.0   2.1   2.2  "
    "\n\t 3.1   3.2   3.3  "
    "\n\t 4.1   4.2   4.3   4.4   4.5   4.6   4.7   4.8   4.9   4.10 "
    "\n\t 4.11  4.12  4.13  4.14  4.15  4.16  4.17  4.18  4.19  4.20 "
    "\n\t 4.21  4.22  4.23  4.24  4.25  4.67 "
    "\n\t 5.1   5.3  "
    "\n\t10.0  "
    "\n\t11.0  11.1  "
    "\n\t12.0  12.1  12.2  12.3  12.4  12.5  12.6  "
    "\n\t20.5  20.6  20.7  20.8  "
    "\n\t21.0  21.1  21.2  "
    "\n\t22.0  "
    "\n\t23.0  "
    "\n\t24.0  24.1  24.2  24.3  24.4  24.5  24.6  24.7  24.8  24.9  "
    "\n\t24.10 "
    "\n\n";

// The tables as they are: a run of rows with one version printed once, the 0.0 rows last, a
// continuation line after ten entries (tested before each row, printed or not), and the legacy
// table on its own.
const std::string ServiceBody =
    "\n\t1.4 1.5 1.6 1.7 1.8 1.9 "
    "\n\t2.0 2.1 2.2 "
    "\n\t3.1 3.2 3.3 "
    "\n\t4.1 4.2 4.3 4.4 4.5 4.6 4.7 4.8 4.9 4.10 "
    "\n\t\t4.11 4.12 4.13 4.14 4.15 4.16 4.17 4.18 4.19 4.20 "
    "\n\t\t4.21 4.22 4.23 4.24 4.25 4.67 "
    "\n\t5.1 5.3 "
    "\n\t12.4 12.5 12.6 "
    "\n\t20.5 20.6 20.7 20.8 "
    "\n\t21.0 21.1 21.2 "
    "\n\t22.0 "
    "\n\t23.0 "
    "\n\t24.0 24.1 24.2 24.3 24.4 24.5 24.6 24.7 24.8 24.9 "
    "\n\t\t24.10 "
    "\n\t0.0 "
    "\n"
    "\n\t10.0 "
    "\n\t11.0 11.1 "
    "\n\t12.0 12.1 12.2 12.3 "
    "\n";

TEST(VersionListingTest, StandardFormInEnglish) {
    LanguageGuard english(0);
    const std::string expected = std::string("update 2.16\n") + Notice +
                                 "This program supports the following bootloader versions: \n" +
                                 StandardBody;
    EXPECT_EQ(CaptureListing(2, 16, "update", 1), expected);
}

TEST(VersionListingTest, ServiceFormInGerman) {
    LanguageGuard german(1);
    const std::string expected =
        std::string("aktualisieren.exe 2.16\n") + Notice +
        "Diese Programm unterstuetzt die folgenden Bootloader Versionen: \n" + ServiceBody;
    EXPECT_EQ(CaptureListing(2, 16, "aktualisieren.exe", 0), expected);
}

TEST(VersionListingTest, FirstLineCarriesNameAndVersionAsGiven) {
    LanguageGuard english(0);
    const std::string listing = CaptureListing(3, 7, "Update2", 1);
    EXPECT_EQ(listing.substr(0, listing.find('\n') + 1), "Update2 3.7\n");
}

TEST(VersionListingTest, StandardFormOrdersMinorVersionsNumerically) {
    LanguageGuard english(0);
    const std::string listing = CaptureListing(2, 16, "update", 1);
    EXPECT_LT(listing.find(" 4.9 "), listing.find(" 4.10 "));
    EXPECT_LT(listing.find("24.9 "), listing.find("24.10 "));
    EXPECT_EQ(listing.find("0.0 "), listing.find("10.0 ") + 1);  // no 0.0 entry of its own
}

}  // namespace
