// The simulated box's options: what box it plays (bootloader version, hardware type, speed) and
// the options of the individual protocols and of the line faults.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct BoxOptions {
    std::string version = "24.4";  // bootloader version the box reports ("major.minor")
    uint32_t hardwareType = 0x14;  // hardware type of the box
    uint32_t baudRate = 115200;    // the box's own speed after the access
    bool pace = false;             // pace traffic at the line rate
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
