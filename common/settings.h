// Program-wide values fixed at start-up and the settings of one run. At the bottom of the layers:
// every layer may read these values; their definitions live in common/settings.cpp.
#pragma once

#include <cstdint>

// 0 English, 1 German; chosen by the name under which the program was started.
extern int language;
// 1 when the program name begins with "VKM" (service technicians' build).
extern int serviceMode;
// Image type for the legacy loader path (option -t); default 'A'.
extern char imageTypeLetter;

// The record of one run: filled from the options, completed from the image header.
// Every flag is an int holding 0 or 1 (some rules test "not 0", some "equals 1").
struct SessionSettings {
    int portNumber = 1;
    const char* imageName = nullptr;  // with -s: the satellite method name
    const char* accessKeyword = " korvane";
    const char* loaderKeyword = "pelmorant";
    int sendKeyword = 1;
    int slowKeyword = 0;
    int factorySettings = 0;
    int syncMode = 0;
    int grantedHandshake = 0;
    int hardwareHandshake = 1;
    int legacyPath = 0;
    int evenParity = 0;
    int patchImage = 0;
    int plainInvocation = 1;
    int compressedImage = 0;
    int compressInput = 0;
    int loopMode = 0;
    int beepWhenDone = 0;
    int satelliteUpdate = 0;
    int longSync = 0;

    // From the image (ReadPadImage) and the session's rules.
    uint32_t imageLength = 0;
    uint8_t hardwareType = 0;
    uint32_t softwareId = 0;
};

// The bootloader version as the box reports it; as one id: major * 65536 + minor.
struct LoaderVersion {
    int major = 0;
    int minor = 0;
};

[[nodiscard]] inline uint32_t VersionId(LoaderVersion v) {
    return (static_cast<uint32_t>(v.major) << 16) + static_cast<uint32_t>(v.minor);
}
