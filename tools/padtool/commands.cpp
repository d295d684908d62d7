// padtool's commands. Reports go to standard output, errors to standard error as
// "padtool: ..." lines; the exit status is 0, 1 (a bad or unreadable file, a failed write) or
// 2 (a usage error).
#include "tools/padtool/commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "image/pad_image.h"
#include "tools/hardware_type.h"
#include "tools/padtool/file_io.h"
#include "tools/padtool/image_build.h"
#include "tools/padtool/image_facts.h"
#include "tools/padtool/loader_match.h"
#include "tools/padtool/log_table.h"

namespace padtool {

namespace {

constexpr const char* UsageText =
    "usage: padtool info FILE...\n"
    "       padtool make [--hw HH] [--sw X.Y] [--tag 0|1|5] PAYLOAD -o OUT\n"
    "       padtool compress IN --type 2|4|5|6 [--sw X.Y] -o OUT\n"
    "       padtool hyper [--tag 0|1] -o OUT\n"
    "       padtool log FILE...\n"
    "       padtool --help\n"
    "\n"
    "Checks and prepares PAD images for update (aktualisieren).\n"
    "\n"
    "  info      checks each FILE as update checks an image and shows its fields, the\n"
    "            bootloaders that would take it, the legacy image types its payload\n"
    "            satisfies and, for a compressed container, what its stream holds\n"
    "  make      wraps PAYLOAD into a PAD image with its checksum; the tag holds what is\n"
    "            given: with --sw a 5-byte tag (hardware type and software id), with --hw\n"
    "            alone a 1-byte tag, with neither no tag; --tag sets the length, missing\n"
    "            values are then 0\n"
    "  compress  builds from the PAD image IN the bzip2 container that update -2 sends, with\n"
    "            update's own compressor: exactly what update -c would send; the software\n"
    "            id of types 4 to 6 is IN's unless --sw gives one (type 2 carries none)\n"
    "  hyper     writes update's built-in hyper bootloader as update wraps it, without a tag\n"
    "            or (--tag 1) with the 1-byte tag 1\n"
    "  log       shows update's production log FILE (UPDATE_LOG) as a table, one row per\n"
    "            box, failures marked !! with their message, then the totals per result;\n"
    "            lines that are not records are counted and named on standard error\n"
    "\n"
    "  -o, --output OUT  the file to write (replaced if it exists, never one of the inputs)\n"
    "  HH                hardware type in hexadecimal: 14 or 0x14\n"
    "  X.Y               bootloader version in decimal (24.4) or software id in hexadecimal\n"
    "                    (0x00180004)\n"
    "\n"
    "Exit status: 0 success (info: every file is a sound image); 1 a file is not sound,\n"
    "cannot be read or cannot be written (log: or holds malformed lines); 2 usage error.\n";

int UsageError(const std::string& message) {
    std::fprintf(stderr, "padtool: %s\nTry 'padtool --help' for more information.\n",
                 message.c_str());
    return ExitUsage;
}

int Failure(const std::string& message) {
    std::fprintf(stderr, "padtool: %s\n", message.c_str());
    return ExitFailure;
}

// The options and operands of one command.
struct Arguments {
    std::vector<std::string> operands;
    std::optional<std::string> output;
    std::optional<std::string> hardwareType;
    std::optional<std::string> softwareId;
    std::optional<std::string> tag;
    std::optional<std::string> type;
    bool help = false;
};

// The options a command takes, by long name.
struct Accepted {
    bool output = false;
    bool hardwareType = false;
    bool softwareId = false;
    bool tag = false;
    bool type = false;
};

// Parses argv[first...]; false after a usage message in `error`.
bool ParseArguments(int argc, char** argv, int first, const Accepted& accepted, Arguments& args,
                    std::string& error) {
    bool optionsEnd = false;
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            args.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            args.help = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        if (const auto equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != arg.npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        std::optional<std::string>* slot = nullptr;
        if ((name == "-o" || name == "--output") && accepted.output) {
            slot = &args.output;
        } else if (name == "--hw" && accepted.hardwareType) {
            slot = &args.hardwareType;
        } else if (name == "--sw" && accepted.softwareId) {
            slot = &args.softwareId;
        } else if (name == "--tag" && accepted.tag) {
            slot = &args.tag;
        } else if (name == "--type" && accepted.type) {
            slot = &args.type;
        } else {
            error = "unknown option " + arg;
            return false;
        }
        if (!value) {
            if (i + 1 >= argc) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        *slot = *value;
    }
    return true;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

uint32_t HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<uint32_t>(c - '0');
    }
    return static_cast<uint32_t>((c | 0x20) - 'a' + 10);
}

bool ParseHex(std::string_view digits, std::size_t maxDigits, uint32_t& value) {
    if (digits.empty() || digits.size() > maxDigits) {
        return false;
    }
    value = 0;
    for (char c : digits) {
        if (!IsHexDigit(c)) {
            return false;
        }
        value = value * 16 + HexValue(c);
    }
    return true;
}

bool ParseDecimal16(std::string_view digits, uint32_t& value) {
    if (digits.empty() || digits.size() > 5) {
        return false;
    }
    value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value <= 0xFFFF;
}

std::string_view WithoutHexPrefix(std::string_view text, bool& hadPrefix) {
    hadPrefix = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    return hadPrefix ? text.substr(2) : text;
}

// The output name, checked against the inputs.
bool CheckOutput(const Arguments& args, const std::vector<std::string>& inputs, std::string& error,
                 int& status) {
    if (!args.output || args.output->empty()) {
        error = "no output file: give -o OUT";
        status = ExitUsage;
        return false;
    }
    for (const std::string& input : inputs) {
        if (SameFile(input, *args.output)) {
            error = *args.output + ": is the input file " + input + "; padtool never writes " +
                    "over its input";
            status = ExitFailure;
            return false;
        }
    }
    return true;
}

// Writes and reads back with update's own image reader: what was written must be the image
// that was meant.
bool WriteImage(const std::string& path, const std::vector<uint8_t>& image, std::string& error) {
    if (!WriteOutputFile(path, image, error)) {
        return false;
    }
    const PadFacts facts = InspectPad(image);
    uint8_t hardwareType = 0;
    uint32_t softwareId = 0;
    if (ReadPadImage(path.c_str(), hardwareType, softwareId, PadReading::Checked) !=
            facts.ImageLength() ||
        hardwareType != facts.hardwareType || softwareId != facts.softwareId) {
        error = "the written file does not read back as the image (was it changed meanwhile?)";
        return false;
    }
    return true;
}

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Hex2(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

// One line of the form "  label   text".
void Line(const char* label, const std::string& text) {
    std::printf("  %-17s %s\n", label, text.c_str());
}

std::string Summary(const PadFacts& facts) {
    std::string text = "payload " + std::to_string(facts.payloadLength) + " bytes, tag " +
                       std::to_string(facts.tagLength) + " bytes";
    if (facts.tagLength >= 1) {
        text += ", hardware type " + Hex2(facts.hardwareType);
    }
    if (facts.tagLength == 5) {
        text += ", software id " + SoftwareIdText(facts.softwareId);
    }
    return text;
}

void PrintLoaders(const PadFacts& facts) {
    if (facts.tagLength == 5) {
        const std::string version = std::to_string(facts.softwareId >> 16) + "." +
                                    std::to_string(facts.softwareId & 0xFFFF);
        const BootloaderRow* row = RowForSoftwareId(facts.hardwareType, facts.softwareId);
        Line(("loader " + version).c_str(),
             row != nullptr
                 ? std::string(ProcedureName(row->procedure)) + " (row parameter " +
                       std::to_string(row->param) + ")"
                 : "no row for this version on hardware type " + Hex2(facts.hardwareType));
    }
    const std::vector<ProcedureVersions> groups = RowsForHardwareType(facts.hardwareType);
    if (groups.empty()) {
        Line("bootloader rows", "none for hardware type " + Hex2(facts.hardwareType));
    }
    for (std::size_t i = 0; i < groups.size(); ++i) {
        Line(i == 0 ? "bootloader rows" : "", groups[i].procedure + ": " + groups[i].versions);
    }
    const LegacyLoaderRow* legacy = LegacyRowFor(facts.softwareId, facts.hardwareType);
    Line("legacy loader", legacy != nullptr
                              ? std::string(legacy->version) + " (legacy path, compression from " +
                                    Hex8(legacy->compressFrom) + ")"
                              : "none");
    if (facts.hardwareType == 3) {
        Line("note", "update refuses hardware type 3 (it goes through the parallel port)");
    }
    if (facts.hardwareType == 1 || facts.hardwareType == 2 || facts.softwareId == 0x00060001) {
        Line("note", "update's id check lets this image pass any bootloader version");
    }
}

// Checks one file for info; prints its report (sound) or its error line. True when sound.
bool InfoOne(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadInputFile(path, bytes, error)) {
        Failure(path + ": " + error);
        return false;
    }
    PadFacts facts = InspectPad(bytes);
    if (facts.sound) {
        uint8_t hardwareType = 0;
        uint32_t softwareId = 0;
        if (ReadPadImage(path.c_str(), hardwareType, softwareId, PadReading::Checked) !=
            facts.ImageLength()) {
            facts.sound = false;
            facts.fault = "update's image reader refuses it (did the file change meanwhile?)";
        }
    }
    if (!facts.sound) {
        Failure(path + ": not a sound PAD image: " + facts.fault);
        return false;
    }
    const ContainerFacts container = InspectContainer(bytes, facts);
    PadFacts inner;
    if (container.isContainer) {
        if (!container.decompressed) {
            Failure(path + ": a compressed container whose stream is bad: " + container.fault);
            return false;
        }
        inner = InspectPad(container.inner);
        if (!inner.sound) {
            Failure(path +
                    ": a compressed container that holds no sound PAD image: " + inner.fault);
            return false;
        }
    }

    std::printf("%s: sound PAD image\n", path.c_str());
    Line("payload length", std::to_string(facts.payloadLength) + " bytes");
    Line("tag length", std::to_string(facts.tagLength) + " bytes");
    Line("hardware type",
         facts.tagLength >= 1 ? Hex2(facts.hardwareType) : "0x00 (no tag; reads as 0)");
    Line("software id", facts.tagLength == 5 ? SoftwareIdText(facts.softwareId)
                                             : "0.0 (0x00000000; not in the tag, reads as 0)");
    Line("checksum", Hex8(facts.storedSum) + " stored, " + Hex8(facts.computedSum) + " computed");
    Line("image length", std::to_string(facts.ImageLength()) + " (payload + 8)");
    PrintLoaders(facts);
    const std::string letters = LegacyTypeLetters(PayloadOf(bytes, facts));
    std::string spaced;
    for (char letter : letters) {
        spaced += spaced.empty() ? "" : " ";
        spaced += letter;
    }
    Line("legacy types", letters.empty() ? "none" : spaced);
    if (container.isContainer) {
        std::string text = "type " + std::to_string(container.type);
        if (container.type != 2) {
            text += ", software id " + SoftwareIdText(container.softwareId);
        }
        Line("compressed", text);
        Line("stream", std::to_string(container.streamLength) + " bytes, sum " +
                           Hex8(container.streamSum) + " (matches)");
        Line("decompressed", std::to_string(container.inner.size()) + " bytes");
        Line("holds", "sound PAD image: " + Summary(inner));
    }
    return true;
}

int Log(const Arguments& args) {
    if (args.operands.empty()) {
        return UsageError("log needs at least one FILE");
    }
    int status = ExitOk;
    for (const std::string& path : args.operands) {
        std::string error;
        const int fd = OpenRegularFile(path, error);
        std::FILE* input = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
        if (input == nullptr) {
            if (fd >= 0) {
                error = std::strerror(errno);
                ::close(fd);
            }
            std::string line = path;
            line += ": ";
            line += error;
            status = Failure(line);
            continue;
        }
        const bool colour = isatty(fileno(stdout)) == 1;
        if (PrintLogTable(input, stdout, stderr, colour) > 0) {
            status = ExitFailure;
        }
        std::fclose(input);
        std::fflush(stdout);
    }
    return status;
}

int Info(const Arguments& args) {
    if (args.operands.empty()) {
        return UsageError("info needs at least one FILE");
    }
    bool allSound = true;
    for (const std::string& path : args.operands) {
        allSound = InfoOne(path) && allSound;
        std::fflush(stdout);
    }
    return allSound ? ExitOk : ExitFailure;
}

int Make(const Arguments& args) {
    if (args.operands.size() != 1) {
        return UsageError("make needs exactly one PAYLOAD file");
    }
    uint8_t hardwareType = 0;
    uint32_t softwareId = 0;
    if (args.hardwareType && !ParseHardwareType(*args.hardwareType, hardwareType)) {
        return UsageError("--hw wants a hardware type in hexadecimal (14 or 0x14), not \"" +
                          *args.hardwareType + "\"");
    }
    if (args.softwareId && !ParseSoftwareId(*args.softwareId, softwareId)) {
        return UsageError("--sw wants a version X.Y or a software id 0x........, not \"" +
                          *args.softwareId + "\"");
    }
    uint32_t tagLength = args.softwareId ? 5 : args.hardwareType ? 1 : 0;
    if (args.tag) {
        if (*args.tag != "0" && *args.tag != "1" && *args.tag != "5") {
            return UsageError("--tag wants 0, 1 or 5, not \"" + *args.tag + "\"");
        }
        tagLength = static_cast<uint32_t>(std::stoul(*args.tag));
        if (tagLength == 0 && (args.hardwareType || args.softwareId)) {
            return UsageError("a 0-byte tag holds neither a hardware type nor a software id");
        }
        if (tagLength == 1 && args.softwareId) {
            return UsageError("a 1-byte tag holds no software id");
        }
    }
    const std::string& input = args.operands[0];
    std::string error;
    int status = ExitFailure;
    if (!CheckOutput(args, {input}, error, status)) {
        return status == ExitUsage ? UsageError(error) : Failure(error);
    }
    std::vector<uint8_t> payload;
    if (!ReadInputFile(input, payload, error)) {
        return Failure(input + ": " + error);
    }
    if (payload.empty() && tagLength == 0) {
        return Failure(input + ": empty; an empty payload needs a tag (--hw or --tag), since " +
                       "an 8-byte file is not a sound PAD image");
    }
    const std::vector<uint8_t> image = BuildPad(payload, tagLength, hardwareType, softwareId);
    if (!WriteImage(*args.output, image, error)) {
        return Failure(*args.output + ": " + error);
    }
    std::printf("%s: PAD image, %s, %zu bytes\n", args.output->c_str(),
                Summary(InspectPad(image)).c_str(), image.size());
    return ExitOk;
}

int Compress(const Arguments& args) {
    if (args.operands.size() != 1) {
        return UsageError("compress needs exactly one input image IN");
    }
    if (!args.type) {
        return UsageError("compress needs --type 2, 4, 5 or 6");
    }
    const std::string& typeText = *args.type;
    if (typeText != "2" && typeText != "4" && typeText != "5" && typeText != "6") {
        return UsageError("--type wants 2, 4, 5 or 6, not \"" + typeText + "\"");
    }
    const int type = typeText[0] - '0';
    uint32_t softwareId = 0;
    if (args.softwareId) {
        if (type == 2) {
            return UsageError("a type 2 container carries no software id; leave out --sw");
        }
        if (!ParseSoftwareId(*args.softwareId, softwareId)) {
            return UsageError("--sw wants a version X.Y or a software id 0x........, not \"" +
                              *args.softwareId + "\"");
        }
    }
    const std::string& input = args.operands[0];
    std::string error;
    int status = ExitFailure;
    if (!CheckOutput(args, {input}, error, status)) {
        return status == ExitUsage ? UsageError(error) : Failure(error);
    }
    std::vector<uint8_t> image;
    if (!ReadInputFile(input, image, error)) {
        return Failure(input + ": " + error);
    }
    const PadFacts facts = InspectPad(image);
    if (!facts.sound) {
        return Failure(input + ": not a sound PAD image: " + facts.fault);
    }
    if (type != 2 && !args.softwareId) {
        softwareId = facts.softwareId;
    }
    std::vector<uint8_t> container;
    bool corrected = false;
    if (!BuildContainer(image, type, softwareId, container, corrected, error)) {
        return Failure(input + ": " + error);
    }
    // The correction recomputes the image's checksum from the container's header length on,
    // which is the image's payload start only when the tag fits the container type (5 bytes for
    // types 4 to 6, 1 byte for type 2). A container whose image the box would refuse is not
    // written.
    const PadFacts packed = InspectPad(container);
    const ContainerFacts inside = InspectContainer(container, packed);
    const PadFacts held = InspectPad(inside.inner);
    if (!inside.decompressed || !held.sound) {
        const uint32_t fittingTag = type == 2 ? 1 : 5;
        std::string reason = inside.decompressed ? held.fault : inside.fault;
        if (corrected && facts.tagLength != fittingTag) {
            reason = "the correction for the 4.21/4.23 loaders gives an image with a " +
                     std::to_string(facts.tagLength) + "-byte tag a wrong checksum (" + reason +
                     "); a type " + typeText + " container wants an image with a " +
                     std::to_string(fittingTag) + "-byte tag";
        }
        return Failure(input + ": the container would hold no sound image: " + reason);
    }
    if (!WriteImage(*args.output, container, error)) {
        return Failure(*args.output + ": " + error);
    }
    std::printf("%s: type %d container", args.output->c_str(), type);
    if (type != 2) {
        std::printf(" for software id %s", SoftwareIdText(softwareId).c_str());
    }
    std::printf(", stream %u bytes, %zu bytes in all, from %zu image bytes\n",
                ReadBigEndian32(container.data()), container.size(), image.size());
    if (corrected) {
        std::printf(
            "%s: the image was corrected for the 4.21/4.23 loaders before it was "
            "compressed, as update -c does\n",
            args.output->c_str());
    }
    return ExitOk;
}

int Hyper(const Arguments& args) {
    if (!args.operands.empty()) {
        return UsageError("hyper takes no file operand, only -o OUT");
    }
    uint8_t tag = 0;
    if (args.tag) {
        if (*args.tag != "0" && *args.tag != "1") {
            return UsageError("--tag wants 0 (no tag) or 1 (the 1-byte tag 1), not \"" + *args.tag +
                              "\"");
        }
        tag = static_cast<uint8_t>((*args.tag)[0] - '0');
    }
    std::string error;
    int status = ExitFailure;
    if (!CheckOutput(args, {}, error, status)) {
        return status == ExitUsage ? UsageError(error) : Failure(error);
    }
    const std::vector<uint8_t> image = BuildHyperPad(tag);
    if (!WriteImage(*args.output, image, error)) {
        return Failure(*args.output + ": " + error);
    }
    std::printf("%s: hyper bootloader, %s, %zu bytes\n", args.output->c_str(),
                Summary(InspectPad(image)).c_str(), image.size());
    return ExitOk;
}

}  // namespace

bool ParseHardwareType(std::string_view text, uint8_t& hardwareType) {
    return tools::ParseHardwareTypeText(text, hardwareType);
}

bool ParseSoftwareId(std::string_view text, uint32_t& softwareId) {
    bool prefix = false;
    const std::string_view digits = WithoutHexPrefix(text, prefix);
    if (prefix) {
        return ParseHex(digits, 8, softwareId);
    }
    const std::size_t point = text.find('.');
    uint32_t major = 0;
    uint32_t minor = 0;
    if (point == text.npos || !ParseDecimal16(text.substr(0, point), major) ||
        !ParseDecimal16(text.substr(point + 1), minor)) {
        return false;
    }
    softwareId = (major << 16) | minor;
    return true;
}

int RunPadtool(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(UsageText, stderr);
        return ExitUsage;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(UsageText, stdout);
        return ExitOk;
    }
    Accepted accepted;
    int (*run)(const Arguments&) = nullptr;
    if (command == "info") {
        run = Info;
    } else if (command == "make") {
        accepted = {.output = true, .hardwareType = true, .softwareId = true, .tag = true};
        run = Make;
    } else if (command == "compress") {
        accepted = {.output = true, .softwareId = true, .type = true};
        run = Compress;
    } else if (command == "log") {
        run = Log;
    } else if (command == "hyper") {
        accepted = {.output = true, .tag = true};
        run = Hyper;
    } else {
        return UsageError("unknown command \"" + command + "\"");
    }
    Arguments args;
    std::string error;
    if (!ParseArguments(argc, argv, 2, accepted, args, error)) {
        return UsageError(error);
    }
    if (args.help) {
        std::fputs(UsageText, stdout);
        return ExitOk;
    }
    return run(args);
}

}  // namespace padtool
