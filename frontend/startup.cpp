// Start-up: language and service mode from the program's own name, the options of one run,
// the usage texts, and ExitProgram, through which every way out of the program passes.
#include "frontend/startup.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "common/messages.h"
#include "common/settings.h"
#include "platform/platform.h"
#include "platform/shutdown.h"
#include "protocols/failure_report.h"

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads a decimal number the way the C library's atoi does (leading white space, an optional
// sign, digits up to the first non-digit), but saturates instead of overflowing. Returns
// whether at least one digit was read; `end` points behind the number.
bool ParseDecimal(const char* text, int& value, const char*& end) {
    const char* p = text;
    while (IsBlank(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    long long magnitude = 0;
    const char* digits = p;
    while (IsDigit(*p)) {
        if (magnitude <= INT_MAX) {
            magnitude = magnitude * 10 + (*p - '0');
        }
        ++p;
    }
    end = p;
    if (p == digits) {
        value = 0;
        end = text;
        return false;
    }
    if (negative) {
        value = magnitude > static_cast<long long>(INT_MAX) + 1 ? INT_MIN
                                                                : static_cast<int>(-magnitude);
    } else {
        value = magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
    }
    return true;
}

// Prefix test on the upper-cased name: letters a to z count as A to Z, other bytes as they are.
bool StartsWithUpper(const char* name, const char* prefix) {
    for (; *prefix != '\0'; ++name, ++prefix) {
        char c = *name;
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        if (c != *prefix) {
            return false;
        }
    }
    return true;
}

// The name under which the program was started, without directories: the part after the last
// slash or, when there is no slash, after the last backslash.
const char* BaseName(const char* path) {
    if (const char* slash = std::strrchr(path, '/')) {
        return slash + 1;
    }
    if (const char* backslash = std::strrchr(path, '\\')) {
        return backslash + 1;
    }
    return path;
}

constexpr const char* EnglishUsage[] = {
    "Usage: update [-p <int>] [-b] [-l] [-w] [-i] <image>\n",
    " -p <int>: specifies the serial port (1 for COM1, 2 for COM2...),\n",
    "           valid values are 1,2,3,4, default is 1\n",
    " -b      : access korvane bootloader via jumper,\n",
    "           by default \"korvane\" is sent to access bootloader\n",
    " -l      : loop mode - update several boxes with the same image\n",
    " -w      : wakes you up ;-) if the download is finished\n",
    " -n      : use factory settings of new image (must be supported by old image)\n",
    " -i      : irdeto image\n",
    " -V      : prints Version number and supported bootloader versions\n",
    "           and exit\n",
};
constexpr const char* EnglishUsageLast = " <image> : is the padded application image\n";

constexpr const char* GermanUsage[] = {
    "Benutzung: aktualisieren [-p <num>] [-l] [-w] [-i] <datei>\n",
    " -p <num>: Auswahl der seriellen Schnittstelle (1 fuer COM1, 2 fuer COM2...),\n",
    "           gueltige Werte sind 1,2,3,4, vorgegebener Wert ist 1\n",
    " -l      : Wiederholungsmodus - mehrere Boxen koennen mit dem selben\n",
    "           Programm aktualisiert werden\n",
    " -w      : Der Weckruf nach Beedigung der Aktualisierung :-)\n",
    " -n      : Aktivierung der Werkseinstellung des neuen Programmes\n",
    "           (muss vom alten Programm unterstuetzt werden)\n",
    " -i      : Irdeto Programm\n",
    " -V      : Ausgabe der Versionsnummer und aller unterstuetzter Versionen\n",
};
constexpr const char* GermanUsageLast = " <datei> : Programm im sogenannten PAD-Format\n";

// The options only service technicians are told about (English in both languages).
constexpr const char* ServiceUsage[] = {
    " -2      : update version that is compressed with bzip2\n",
    " -s      : update via satellite, transponder has to be set in service menue !\n",
    "                    image can be: eol  Europe Online\n",
    "                                  orb  ORB\n",
    "                                  ast  AstraNet\n",
    "                                  mix  looking for one available method\n",
    " -c      : use uncompressed file as input, compress and update\n",
    " -e      : do update of box directly after power on\n",
    " -9      : send keywords with 9600Baud\n",
    " -6      : KX6 box\n",
    " -7      : KX7 box\n",
    " -8      : KX8 box\n",
    " -1      : KX11 box\n",
    " -x      : patch transmitted file to match bootloader in box\n",
    " -t <type> A - Application in FLASH (default value)\n",
    "           B - Bootimage in FLASH\n",
    "           C - Bootimage in RAM\n",
    "           R - Application in RAM\n",
    "           S - SWDLimage in FLASH\n",
    "           F - Update factory settings\n\n",
};

// The -b lines of the English text, shown in the German service usage as well.
constexpr int JumperLineFirst = 3;
constexpr int JumperLineCount = 2;

void PutLines(const char* const* lines, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        std::fputs(lines[i], ErrorOutput());
    }
}

// Arguments after the image name: refused, since an option put last (update image.pad -p 2)
// would otherwise leave the update on another port than the one the user named. One line that
// says where options go and names what followed, the usage text, exit 1; nothing is opened.
[[noreturn]] void RefuseArgumentsAfterImage(int count, char** arguments) {
    std::fputs(hintText(Hint::ArgumentsAfterImage), ErrorOutput());
    for (int i = 0; i < count; ++i) {
        std::fprintf(ErrorOutput(), " %s", arguments[i]);
    }
    std::fputs("\n\n", ErrorOutput());
    PrintUsage(language, serviceMode);
    ExitProgram(1);
}

// A syntax error on the command line: BadSyntax with the argument, the usage text, exit 1.
[[noreturn]] void BadSyntax(const char* argument) {
    std::fprintf(ErrorOutput(), "%s %s\n\n", messageText(Message::BadSyntax), argument);
    PrintUsage(language, serviceMode);
    ExitProgram(1);
}

}  // namespace

RevisionPair ParseRevision(const char* text) {
    if (text == nullptr) {
        return {};
    }
    while (*text != '\0' && !IsDigit(*text)) {
        ++text;
    }
    RevisionPair pair;
    const char* end = text;
    if (!ParseDecimal(text, pair.major, end) || *end != '.') {
        return {};
    }
    if (!ParseDecimal(end + 1, pair.minor, end)) {
        return {};
    }
    return pair;
}

void PrintUsage(int usageLanguage, int usageServiceMode) {
    if (usageLanguage == 1) {
        PutLines(GermanUsage, std::size(GermanUsage));
        if (usageServiceMode == 1) {
            PutLines(EnglishUsage + JumperLineFirst, JumperLineCount);
            PutLines(ServiceUsage, std::size(ServiceUsage));
        }
        std::fputs(GermanUsageLast, ErrorOutput());
    } else {
        PutLines(EnglishUsage, std::size(EnglishUsage));
        if (usageServiceMode == 1) {
            PutLines(ServiceUsage, std::size(ServiceUsage));
        }
        std::fputs(EnglishUsageLast, ErrorOutput());
    }
}

namespace {

// The technician's console window would close at once: in service mode a failure stays visible
// until ENTER is pressed.
void ShowFailureUntilEnter(ShutdownKind, int code) {
    if (code > 0 && serviceMode == 1) {
        std::printf("%s -> ENTER\n", messageText(Message::ErrorUpdatingImage));
        std::fflush(stdout);
        std::fflush(stderr);
        // Any key, or the end of the input, ends the wait; which one does not matter.
        (void)ReadConsoleChar();
    }
}

}  // namespace

void ExitProgram(int code) {
    InstallShutdownAction(ShutdownStage::FailureShown, ShowFailureUntilEnter);
    RunShutdown(code == 0 ? ShutdownKind::Normal : ShutdownKind::Failure, code);
    std::exit(code);
}

void StartUp(int argc, char** argv, SessionSettings& settings) {
    // The program's name decides the language and the service mode.
    const char* programName = (argc > 0 && argv[0] != nullptr) ? BaseName(argv[0]) : "";
    if (StartsWithUpper(programName, "VKM")) {
        serviceMode = 1;
        settings.accessKeyword = "qkorvane";
        programName += 3;
    }
    if (StartsWithUpper(programName, "AKTUALISIEREN")) {
        language = 1;
    } else if (StartsWithUpper(programName, "UPDATE")) {
        language = 0;
    }

    if (argc < 2) {
        PrintUsage(language, serviceMode);
        ExitProgram(1);
    }

    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            // The image name (with -s the method name) ends the command line.
            if (i + 1 < argc) {
                RefuseArgumentsAfterImage(argc - i - 1, argv + i + 1);
            }
            settings.imageName = argument;
            break;
        }
        if (std::strlen(argument) != 2) {
            BadSyntax(argument);
        }
        // Every option but these ends the plain invocation, whose wait for "granted" is bounded.
        if (std::strchr("pcilsw", argument[1]) == nullptr) {
            settings.plainInvocation = 0;
        }
        switch (argument[1]) {
            case 'p': {
                if (i + 1 >= argc) {
                    // The port number is missing.
                    BadSyntax(argument);
                }
                int port = 0;
                const char* end = nullptr;
                ParseDecimal(argv[++i], port, end);
                if (port < 1 || port > 4) {
                    ReportFailureOf(ErrorOutput(), Message::InvalidPort, 0, InvalidPortHint(),
                                    " %i\n", port);
                    ExitProgram(1);
                }
                settings.portNumber = port;
                break;
            }
            case 't':
                if (i + 1 >= argc) {
                    // The image type letter is missing.
                    BadSyntax(argument);
                }
                imageTypeLetter = argv[++i][0];
                break;
            case 'V': {
                const RevisionPair revision = ParseRevision(RevisionText);
                PrintVersionListing(revision.major, revision.minor, programName,
                                    /*standardForm=*/serviceMode == 0 ? 1 : 0);
                ExitProgram(0);
            }
            case 'b':
            case 'e':
                settings.sendKeyword = 0;
                break;
            case 'n':
                settings.accessKeyword = (serviceMode == 1) ? "qlumatek" : " lumatek";
                settings.loaderKeyword = "stravinol";
                settings.factorySettings = 1;
                break;
            case '9':
                settings.slowKeyword = 1;
                break;
            case '1':
                settings.grantedHandshake = 1;
                break;
            case '2':
                settings.compressedImage = 1;
                break;
            case '6':
                settings.legacyPath = 1;
                settings.evenParity = 1;
                break;
            case '7':
                settings.hardwareHandshake = 0;
                break;
            case '8':
                settings.legacyPath = 1;
                break;
            case 'u':
                settings.longSync = 1;
                break;
            case 'x':
                settings.patchImage = 1;
                break;
            case 'c':
                settings.compressInput = 1;
                settings.compressedImage = 1;
                break;
            case 'i':
                settings.syncMode = 1;
                break;
            case 'l':
                settings.loopMode = 1;
                break;
            case 's':
                settings.satelliteUpdate = 1;
                break;
            case 'w':
                settings.beepWhenDone = 1;
                break;
            default:
                std::fprintf(ErrorOutput(), "%s %s \n\n", argument,
                             messageText(Message::InvalidOption));
                PrintUsage(language, serviceMode);
                ExitProgram(1);
        }
    }

    if (settings.imageName == nullptr) {
        // Options but no image (or, with -s, no method name): nothing to update.
        PrintUsage(language, serviceMode);
        ExitProgram(1);
    }
}
