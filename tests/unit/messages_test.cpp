#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "common/settings.h"
#include "tests/support/message_by_number.h"

namespace {

// Sets the program-wide language for one test and restores it afterwards.
class LanguageGuard {
  public:
    explicit LanguageGuard(int value) : saved_(language) { language = value; }
    ~LanguageGuard() { language = saved_; }

  private:
    int saved_;
};

struct CatalogCase {
    int number;
    const char* english;
    const char* german;
};

const CatalogCase CatalogCases[] = {
    {0, "Invalid Port:", "Falsche serielle Schnittstelle ausgewaehlt:"},
    {1, "is an invalid option", "ist ein ungueltiger Parameter"},
    {2, "Checking file ...", "Datei pruefen ..."},
    {3, " failed. Abort!", " fehlerhaft. Programmende!"},
    {4, " OK", " OK"},
    {5, "Inititialization of COM-port failed (Error: ",
     "Initialisierung der seriellen Schnittstelle fehlgeschlagen (Fehler: "},
    {9, "ReInititialization of COM-port to send slow keyword failed (Error: ",
     "Initialisierung der seriellen Schnittstelle (schnell) fehlgeschlagen (Fehler: "},
    {10, "Done!                   ", "Fertig!                 "},
    {11, "Programming the flash memory...", "Flash programmieren ..."},
    {14, "Flash's manufacturer and/or device ids dont match!",
     "Flash Hersteller und/oder Flash ID stimmen nicht ueberein"},
    {16, "Error(s) during erasing, programming or transfering. Abort!",
     "Fehler waehrend Loeschvorgang, Programmierung oder Transfer. Ende !"},
    {20, "Download hyper bootloader...", "Hyper Bootloader uebertragen "},
    {22, "Please be patient and wait for update to be finished (about 15min)\n",
     "Bitte warten Sie auf das Ende des Aktualisierungsvorganges (ca. 15min)"},
    {23, "Compressing file ...", "Datei wird komprimiert ... "},
    {27, "Bootloader version not supported: ", "Bootloader Version wird nicht unterstuetzt: "},
    {28, "error connecting...", "Fehler beim Verbindungsaufbau ..."},
    {32, "error -> wrong hardware IDs ", "Fehler: Falsche Hardware Version "},
    {33, "error updating image", "Fehler beim Updaten der Software"},
    {41, " no errors\nerasing flash, please wait... ",
     "kein Fehler\nloesche Flash, bitte warten... "},
    {44, "ready.", "Fertig!"},
    {45, "no errors\nflashing image, please wait... ",
     "kein Fehler\nschreibe Daten, bitte warten... "},
    {46, "Download successfully finished. (com port:",
     "Uebertragung erfolgreich beendet (Schnittstelle: "},
    {47, "transfered", "uebertragen"},
    {49, "Filelength exceeds maximum length (compressed size",
     "Das zu uebertragende File ist zu gross (komprimierte Groesse="},
    {50, "This program supports the following bootloader versions: ",
     "Diese Programm unterstuetzt die folgenden Bootloader Versionen: "},
    {52, "Bad Syntax of parameter: ", "Die Syntax des Parameters ist falsch: "},
    {53, "Cannot connect to loader over COM-port, still trying. ",
     "Keine Verbindung ueber die serielle Schnittstelle zur Box. Es folgen weitere Versuche. "},
    {54, "Cannot send data to box, still trying.",
     "Es koennen keine Daten mehr zu Box geschickt werden. Es folgen weitere Versuche. "},
    {55, "Problem while downloading data, trying to correct:",
     "Problem bei der Aktualisierung, Versuche Korrektur: "},
};

TEST(MessageCatalogTest, EntriesHoldTheExactTextsInBothRows) {
    for (const CatalogCase& c : CatalogCases) {
        SCOPED_TRACE(c.number);
        EXPECT_STREQ(MessageCatalog[static_cast<std::size_t>(c.number)], c.english);
        EXPECT_STREQ(MessageCatalog[static_cast<std::size_t>(MessageCount + c.number)], c.german);
    }
}

TEST(MessageCatalogTest, MessageTextFollowsTheLanguage) {
    for (const CatalogCase& c : CatalogCases) {
        SCOPED_TRACE(c.number);
        {
            LanguageGuard english(0);
            EXPECT_STREQ(MessageByNumber(c.number), c.english);
        }
        {
            LanguageGuard german(1);
            EXPECT_STREQ(MessageByNumber(c.number), c.german);
        }
    }
}

TEST(MessageCatalogTest, EveryTextIsPresentAndPlainAscii) {
    for (std::size_t i = 0; i < MessageCatalog.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_NE(MessageCatalog[i], nullptr);
        EXPECT_GT(std::strlen(MessageCatalog[i]), 0u);
        for (const char* p = MessageCatalog[i]; *p != '\0'; ++p) {
            EXPECT_LT(static_cast<unsigned char>(*p), 0x80);
        }
    }
}

TEST(MessageCatalogTest, DoneIsPaddedToOverwriteAProgressLine) {
    EXPECT_EQ(std::strlen(MessageCatalog[10]), 24u);
    EXPECT_EQ(std::strlen(MessageCatalog[MessageCount + 10]), 24u);
}

TEST(MessageCatalogTest, OnlyTheEnglishPatienceNoticeEndsInALineFeed) {
    const std::string english = MessageCatalog[22];
    const std::string german = MessageCatalog[MessageCount + 22];
    EXPECT_EQ(english.back(), '\n');
    EXPECT_NE(german.back(), '\n');
}

TEST(MessageCatalogTest, FormatsJoinTextAndValueAsShownToTheUser) {
    LanguageGuard english(0);
    char line[200];
    std::snprintf(line, sizeof line, "%s %i)\n", MessageByNumber(5), 2);
    EXPECT_STREQ(line, "Inititialization of COM-port failed (Error:  2)\n");
    std::snprintf(line, sizeof line, "%s%s\n", MessageByNumber(2), MessageByNumber(4));
    EXPECT_STREQ(line, "Checking file ... OK\n");
    std::snprintf(line, sizeof line, "%4i %% %s       ", 42, MessageByNumber(47));
    EXPECT_STREQ(line, "  42 % transfered       ");
}

TEST(MessageCatalogTest, NumbersOutsideTheCatalogueGiveAnEmptyText) {
    for (int language : {0, 1}) {
        LanguageGuard guard(language);
        EXPECT_STREQ(MessageByNumber(-1), "");
        EXPECT_STREQ(MessageByNumber(MessageCount), "");
        EXPECT_STREQ(MessageByNumber(1000), "");
    }
}

}  // namespace
