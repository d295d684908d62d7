#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings.h"
#include "frontend/startup.h"

namespace {

// Resets the program-wide values before a test and restores them afterwards.
class GlobalsGuard {
  public:
    GlobalsGuard() : language_(language), serviceMode_(serviceMode), letter_(imageTypeLetter) {
        language = 0;
        serviceMode = 0;
        imageTypeLetter = 'A';
    }
    ~GlobalsGuard() {
        language = language_;
        serviceMode = serviceMode_;
        imageTypeLetter = letter_;
    }

  private:
    int language_;
    int serviceMode_;
    char letter_;
};

std::string CaptureUsage(int language, int serviceMode) {
    std::fflush(stderr);
    testing::internal::CaptureStderr();
    PrintUsage(language, serviceMode);
    std::fflush(stderr);
    return testing::internal::GetCapturedStderr();
}

const std::string EnglishHead =
    "Usage: update [-p <int>] [-b] [-l] [-w] [-i] <image>\n"
    " -p <int>: specifies the serial port (1 for COM1, 2 for COM2...),\n"
    "           valid values are 1,2,3,4, default is 1\n"
    " -b      : access korvane bootloader via jumper,\n"
    "           by default \"korvane\" is sent to access bootloader\n"
    " -l      : loop mode - update several boxes with the same image\n"
    " -w      : wakes you up ;-) if the download is finished\n"
    " -n      : use factory settings of new image (must be supported by old image)\n"
    " -i      : irdeto image\n"
    " -V      : prints Version number and supported bootloader versions\n"
    "           and exit\n";
const std::string EnglishTail = " <image> : is the padded application image\n";

const std::string GermanHead =
    "Benutzung: aktualisieren [-p <num>] [-l] [-w] [-i] <datei>\n"
    " -p <num>: Auswahl der seriellen Schnittstelle (1 fuer COM1, 2 fuer COM2...),\n"
    "           gueltige Werte sind 1,2,3,4, vorgegebener Wert ist 1\n"
    " -l      : Wiederholungsmodus - mehrere Boxen koennen mit dem selben\n"
    "           Programm aktualisiert werden\n"
    " -w      : Der Weckruf nach Beedigung der Aktualisierung :-)\n"
    " -n      : Aktivierung der Werkseinstellung des neuen Programmes\n"
    "           (muss vom alten Programm unterstuetzt werden)\n"
    " -i      : Irdeto Programm\n"
    " -V      : Ausgabe der Versionsnummer und aller unterstuetzter Versionen\n";
const std::string GermanJumperLines =
    " -b      : access korvane bootloader via jumper,\n"
    "           by default \"korvane\" is sent to access bootloader\n";
const std::string GermanTail = " <datei> : Programm im sogenannten PAD-Format\n";

const std::string ServiceLines =
    " -2      : update version that is compressed with bzip2\n"
    " -s      : update via satellite, transponder has to be set in service menue !\n"
    "                    image can be: eol  Europe Online\n"
    "                                  orb  ORB\n"
    "                                  ast  AstraNet\n"
    "                                  mix  looking for one available method\n"
    " -c      : use uncompressed file as input, compress and update\n"
    " -e      : do update of box directly after power on\n"
    " -9      : send keywords with 9600Baud\n"
    " -6      : KX6 box\n"
    " -7      : KX7 box\n"
    " -8      : KX8 box\n"
    " -1      : KX11 box\n"
    " -x      : patch transmitted file to match bootloader in box\n"
    " -t <type> A - Application in FLASH (default value)\n"
    "           B - Bootimage in FLASH\n"
    "           C - Bootimage in RAM\n"
    "           R - Application in RAM\n"
    "           S - SWDLimage in FLASH\n"
    "           F - Update factory settings\n\n";

TEST(UsageTest, FourTextsByLanguageAndServiceMode) {
    GlobalsGuard guard;
    EXPECT_EQ(CaptureUsage(0, 0), EnglishHead + EnglishTail);
    EXPECT_EQ(CaptureUsage(0, 1), EnglishHead + ServiceLines + EnglishTail);
    EXPECT_EQ(CaptureUsage(1, 0), GermanHead + GermanTail);
    EXPECT_EQ(CaptureUsage(1, 1), GermanHead + GermanJumperLines + ServiceLines + GermanTail);
}

TEST(UsageTest, UsesItsArgumentsNotTheProgramWideValues) {
    GlobalsGuard guard;
    language = 1;
    serviceMode = 1;
    EXPECT_EQ(CaptureUsage(0, 0), EnglishHead + EnglishTail);
}

TEST(ParseRevisionTest, ReadsMajorAndMinorFromTheFirstDigit) {
    struct Case {
        const char* text;
        int major;
        int minor;
    };
    const Case cases[] = {
        {RevisionText, 2, 16},    {"$Revision: 10.0 $", 10, 0},
        {"v-3.4", 3, 4},          {"abc 12.7xyz", 12, 7},
        {"$Revision: 3 $", 0, 0}, {"$Revision: 3.x $", 0, 0},
        {"$Revision: $", 0, 0},   {"", 0, 0},
        {nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text == nullptr ? "(null)" : c.text);
        const RevisionPair pair = ParseRevision(c.text);
        EXPECT_EQ(pair.major, c.major);
        EXPECT_EQ(pair.minor, c.minor);
    }
}

void ExpectSameSettings(const SessionSettings& got, const SessionSettings& want) {
    auto text = [](const char* s) {
        return s == nullptr ? std::string("(unset)") : std::string(s);
    };
    EXPECT_EQ(got.portNumber, want.portNumber);
    EXPECT_EQ(text(got.imageName), text(want.imageName));
    EXPECT_EQ(text(got.accessKeyword), text(want.accessKeyword));
    EXPECT_EQ(text(got.loaderKeyword), text(want.loaderKeyword));
    EXPECT_EQ(got.sendKeyword, want.sendKeyword);
    EXPECT_EQ(got.slowKeyword, want.slowKeyword);
    EXPECT_EQ(got.factorySettings, want.factorySettings);
    EXPECT_EQ(got.syncMode, want.syncMode);
    EXPECT_EQ(got.grantedHandshake, want.grantedHandshake);
    EXPECT_EQ(got.hardwareHandshake, want.hardwareHandshake);
    EXPECT_EQ(got.legacyPath, want.legacyPath);
    EXPECT_EQ(got.evenParity, want.evenParity);
    EXPECT_EQ(got.patchImage, want.patchImage);
    EXPECT_EQ(got.plainInvocation, want.plainInvocation);
    EXPECT_EQ(got.compressedImage, want.compressedImage);
    EXPECT_EQ(got.compressInput, want.compressInput);
    EXPECT_EQ(got.loopMode, want.loopMode);
    EXPECT_EQ(got.beepWhenDone, want.beepWhenDone);
    EXPECT_EQ(got.satelliteUpdate, want.satelliteUpdate);
    EXPECT_EQ(got.longSync, want.longSync);
}

struct StartUpCase {
    std::vector<std::string> args;
    int language;
    int serviceMode;
    char imageTypeLetter;
    std::function<void(SessionSettings&)> expect;  // changes from the defaults
};

TEST(StartUpTest, OptionsFillTheSettings) {
    const StartUpCase cases[] = {
        {{"update", "image.pad"}, 0, 0, 'A', [](SessionSettings& s) { s.imageName = "image.pad"; }},
        // The options go before the image name (anything after it is refused).
        {{"update", "-p", "2", "image.pad"},
         0,
         0,
         'A',
         [](SessionSettings& s) {
             s.portNumber = 2;
             s.imageName = "image.pad";
         }},
        {{"update", "-p", "3", "x.pad"},
         0,
         0,
         'A',
         [](SessionSettings& s) {
             s.portNumber = 3;
             s.imageName = "x.pad";
         }},
        {{"update", "-p", " +4", "x.pad"},
         0,
         0,
         'A',
         [](SessionSettings& s) {
             s.portNumber = 4;
             s.imageName = "x.pad";
         }},
        {{"update", "-p", "2com", "-p", "1", "x.pad"},
         0,
         0,
         'A',
         [](SessionSettings& s) { s.imageName = "x.pad"; }},
        {{"update", "-n", "x"},
         0,
         0,
         'A',
         [](SessionSettings& s) {
             s.imageName = "x";
             s.accessKeyword = " lumatek";
             s.loaderKeyword = "stravinol";
             s.factorySettings = 1;
             s.plainInvocation = 0;
         }},
        {{"VKMupdate", "-n", "x"},
         0,
         1,
         'A',
         [](SessionSettings& s) {
             s.imageName = "x";
             s.accessKeyword = "qlumatek";
             s.loaderKeyword = "stravinol";
             s.factorySettings = 1;
             s.plainInvocation = 0;
         }},
        {{"/usr/bin/vkmupdate.exe", "x"},
         0,
         1,
         'A',
         [](SessionSettings& s) {
             s.imageName = "x";
             s.accessKeyword = "qkorvane";
         }},
        {{"VkmAktualisieren", "x"},
         1,
         1,
         'A',
         [](SessionSettings& s) {
             s.imageName = "x";
             s.accessKeyword = "qkorvane";
         }},
        {{"C:\\tools\\aktualisieren.exe", "x"},
         1,
         0,
         'A',
         [](SessionSettings& s) { s.imageName = "x"; }},
        // Only the part after the last slash counts, even when a backslash follows it.
        {{"C:\\VKMtools/aktualisieren\\vkm.exe", "x"},
         1,
         0,
         'A',
         [](SessionSettings& s) { s.imageName = "x"; }},
        {{"flash.exe", "x"}, 0, 0, 'A', [](SessionSettings& s) { s.imageName = "x"; }},
        // The VKM prefix is removed before the language prefix is looked at.
        {{"VKMflash", "x"},
         0,
         1,
         'A',
         [](SessionSettings& s) {
             s.imageName = "x";
             s.accessKeyword = "qkorvane";
         }},
        {{"update", "-b", "x"},
         0,
         0,
         'A',
         [](SessionSettings& s) {
             s.imageName = "x";
             s.sendKeyword = 0;
             s.plainInvocation = 0;
         }},
        {{"update", "-e", "-9", "-1", "-7", "x"},
         0,
         0,
         'A',
         [](SessionSettings& s) {
             s.imageName = "x";
             s.sendKeyword = 0;
             s.slowKeyword = 1;
             s.grantedHandshake = 1;
             s.hardwareHandshake = 0;
             s.plainInvocation = 0;
         }},
        {{"update", "-6", "x"},
         0,
         0,
         'A',
         [](SessionSettings& s) {
             s.imageName = "x";
             s.legacyPath = 1;
             s.evenParity = 1;
             s.plainInvocation = 0;
         }},
        {{"update", "-8", "x"},
         0,
         0,
         'A',
         [](SessionSettings& s) {
             s.imageName = "x";
             s.legacyPath = 1;
             s.plainInvocation = 0;
         }},
        {{"update", "-2", "-u", "-x", "x"},
         0,
         0,
         'A',
         [](SessionSettings& s) {
             s.imageName = "x";
             s.compressedImage = 1;
             s.longSync = 1;
             s.patchImage = 1;
             s.plainInvocation = 0;
         }},
        // These leave plainInvocation set.
        {{"update", "-c", "-i", "-l", "-s", "-w", "eol"},
         0,
         0,
         'A',
         [](SessionSettings& s) {
             s.imageName = "eol";
             s.compressInput = 1;
             s.compressedImage = 1;
             s.syncMode = 1;
             s.loopMode = 1;
             s.satelliteUpdate = 1;
             s.beepWhenDone = 1;
         }},
        {{"VKMupdate", "-t", "Bootimage", "x"},
         0,
         1,
         'B',
         [](SessionSettings& s) {
             s.imageName = "x";
             s.accessKeyword = "qkorvane";
             s.plainInvocation = 0;
         }},
    };
    for (const StartUpCase& c : cases) {
        std::string trace;
        for (const std::string& a : c.args) {
            trace += "[" + a + "] ";
        }
        SCOPED_TRACE(trace);
        GlobalsGuard guard;
        std::vector<std::string> storage = c.args;
        std::vector<char*> argv;
        for (std::string& a : storage) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        SessionSettings got;
        StartUp(static_cast<int>(storage.size()), argv.data(), got);
        SessionSettings want;
        c.expect(want);
        ExpectSameSettings(got, want);
        EXPECT_EQ(language, c.language);
        EXPECT_EQ(serviceMode, c.serviceMode);
        EXPECT_EQ(imageTypeLetter, c.imageTypeLetter);
    }
}

}  // namespace
