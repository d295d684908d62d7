// The box's options: what kind of access and which protocol options the box plays.
#include "box_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>

namespace {

constexpr uint32_t SynchronisingTypes[] = {0x10, 0x11, 0x13, 0x14, 0x15, 0x16,
                                           0x20, 0x21, 0x23, 0x24, 0x25, 0x26};

}  // namespace

std::string BoxOptions::Get(const std::string& name, const std::string& fallback) const {
    auto found = extra.find(name);
    return found == extra.end() ? fallback : found->second;
}

long BoxOptions::GetInt(const std::string& name, long fallback) const {
    auto found = extra.find(name);
    if (found == extra.end() || found->second.empty()) {
        return fallback;
    }
    const std::string& text = found->second;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (errno != 0 || end == nullptr || *end != '\0') {
        return fallback;
    }
    return value;
}

int BoxOptions::Major() const {
    return std::atoi(version.c_str());
}

int BoxOptions::Minor() const {
    auto point = version.find('.');
    return point == std::string::npos ? 0 : std::atoi(version.c_str() + point + 1);
}

bool BoxOptions::Legacy() const {
    if (Has("legacy") || Has("legacy-id")) {
        return true;
    }
    // Versions 10.0 to 12.3 exist only as legacy loaders.
    const int major = Major();
    return (major >= 10 && major <= 11) || (major == 12 && Minor() <= 3);
}

bool BoxOptions::Synchronises() const {
    if (Has("no-sync")) {
        return false;
    }
    if (Has("sync") || Has("no-granted")) {
        return true;
    }
    if (Legacy()) {
        return false;
    }
    if (std::find(std::begin(SynchronisingTypes), std::end(SynchronisingTypes), hardwareType) !=
        std::end(SynchronisingTypes)) {
        return true;
    }
    return Major() == 4 && Minor() >= 11 && Minor() <= 13;
}

bool BoxOptions::AnswersGranted() const {
    if (!Synchronises() || Has("no-granted")) {
        return false;
    }
    return Has("sync") || std::find(std::begin(SynchronisingTypes), std::end(SynchronisingTypes),
                                    hardwareType) != std::end(SynchronisingTypes);
}

int BoxOptions::StepTimeoutMs() const {
    return static_cast<int>(GetInt("step-timeout", 30000));
}
