// The simulated box's options: what box it plays (bootloader version, hardware type, speed) and
// the options of the individual protocols and of the line faults.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

struct BoxOptions {
    std::string version = "24.4";  // bootloader version the box reports ("major.minor")
    uint32_t hardwareType = 0x14;  // hardware type of the box
    uint32_t baudRate = 115200;    // the box's own speed after the access
    bool pace = false;             // pace traffic at the line rate
    int adapterLatencyMs = 0;      // latency timer of a USB adapter on the line (0: none)
    std::string linkPath;          // symlink to the slave device, if asked
    std::string savePath;          // where to save what the box received
    // Options of the individual protocols: "--name value" or "--name=value" on the command
    // line; a "--name" without value holds "1".
    std::map<std::string, std::string> extra;

    std::string Get(const std::string& name, const std::string& fallback = "") const;
    long GetInt(const std::string& name, long fallback = 0) const;  // decimal or 0x hex
    bool Has(const std::string& name) const { return extra.count(name) != 0; }
    int Major() const;
    int Minor() const;

    // What kind of access the box plays (with the options that force a kind):
    // a legacy loader (10.0-12.3, --legacy, --legacy-id) wants "pelmorant" or "stravinol";
    // boxes of the synchronising hardware types and the 4.11-4.13 loaders run the digit
    // synchronisation (--sync, --no-granted, --no-sync force it on or off); the synchronising
    // hardware types also answer "granted".
    bool Legacy() const;
    bool Synchronises() const;
    bool AnswersGranted() const;
    // Limit for each wait in the middle of a conversation (--step-timeout, default 30000 ms).
    int StepTimeoutMs() const;
};

// The headings under which --help lists the options.
enum class OptionGroup {
    Box,
    Access,
    Streaming,
    MenuLoader,
    Loader411,
    HyperLoader,
    XmodemVerdict,
    Legacy,
    Satellite,
    LineFaults,
    Adapter,
};

// One option of boxsim's command line. The table of them is the one list of what boxsim
// takes: the parser refuses a name that is not in it, --help lists it, and the line faults
// are switched on by the options of their group.
struct OptionInfo {
    std::string_view name;      // without the leading "--"
    std::string_view argument;  // the value's placeholder ("MS", "FILE"); empty for a switch
    OptionGroup group;
    std::string_view text;  // the line in --help
};

std::span<const OptionInfo> BoxOptionTable();
const OptionInfo* FindBoxOption(std::string_view name);

// What the command line asked for, when it could be read.
struct CommandLine {
    BoxOptions options;
    long boxes = 1;
    bool help = false;
};
// Reads boxsim's command line (argv[1] on); false after a message on standard error for a
// name that is not in the table, a missing value or a value out of range.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine& line);
// The --help text: the command line, every option of the table by group, the exit status.
std::string BoxUsageText();
