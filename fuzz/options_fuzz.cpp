// Start-up (StartUp) on any command line: program names, options and arguments made of any
// bytes. Every way out of start-up goes through ExitProgram, which ends the process; this
// target is linked with the C library's exit wrapped (-Wl,--wrap=exit), so that an exit during
// start-up returns here instead. A start-up that returns must leave a run that can go on: an
// image name, a port from 1 to 4, flags of 0 or 1, and keywords from the known set.
//
// Input: the arguments, argv[0] first, separated by zero bytes (at most 24).
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings.h"
#include "frontend/startup.h"

namespace {

std::jmp_buf startUpExit;
bool inStartUp = false;
int exitCode = -1;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "StartUp: %s\n", what);
    std::abort();
}

bool Flag(int value) {
    return value == 0 || value == 1;
}

bool OneOf(const char* text, std::initializer_list<const char*> known) {
    for (const char* k : known) {
        if (text != nullptr && std::strcmp(text, k) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" {
[[noreturn]] void __real_exit(int code);

// Exits during start-up come back to the target; every other exit (the fuzzer's own) is real.
[[noreturn]] void __wrap_exit(int code) {
    if (inStartUp) {
        inStartUp = false;
        exitCode = code;
        std::longjmp(startUpExit, 1);
    }
    __real_exit(code);
}

int LLVMFuzzerInitialize(int*, char***) {
    // Service-mode failures wait for ENTER: give them an empty standard input.
    if (std::freopen("/dev/null", "r", stdin) == nullptr) {
        std::perror("/dev/null");
    }
    return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<std::string> arguments;
    static std::vector<char*> argv;
    arguments.clear();
    argv.clear();
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (arguments.size() < 24) {
        const size_t end = rest.find('\0');
        arguments.emplace_back(rest.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(end + 1);
    }
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    language = 0;
    serviceMode = 0;
    imageTypeLetter = 'A';
    static SessionSettings settings;
    settings = SessionSettings{};
    exitCode = -1;
    if (setjmp(startUpExit) == 0) {
        inStartUp = true;
        StartUp(static_cast<int>(arguments.size()), argv.data(), settings);
        inStartUp = false;
    } else if (exitCode != 0 && exitCode != 1) {
        Fail("an exit code other than 0 and 1");
    } else {
        return 0;
    }

    if (settings.imageName == nullptr || settings.imageName[0] == '-') {
        Fail("start-up returned without an image name");
    }
    if (settings.portNumber < 1 || settings.portNumber > 4) {
        Fail("start-up returned with a port outside 1 to 4");
    }
    if (!Flag(language) || !Flag(serviceMode)) {
        Fail("language or service mode outside 0 and 1");
    }
    const int flags[] = {
        settings.sendKeyword,     settings.slowKeyword,      settings.factorySettings,
        settings.syncMode,        settings.grantedHandshake, settings.hardwareHandshake,
        settings.legacyPath,      settings.evenParity,       settings.patchImage,
        settings.plainInvocation, settings.compressedImage,  settings.compressInput,
        settings.loopMode,        settings.beepWhenDone,     settings.satelliteUpdate,
        settings.longSync};
    for (int flag : flags) {
        if (!Flag(flag)) {
            Fail("a flag outside 0 and 1");
        }
    }
    if (!OneOf(settings.accessKeyword, {" korvane", "qkorvane", " lumatek", "qlumatek"}) ||
        !OneOf(settings.loaderKeyword, {"pelmorant", "stravinol"})) {
        Fail("a keyword outside the known set");
    }
    if (settings.compressInput == 1 && settings.compressedImage != 1) {
        Fail("-c without the compressed image");
    }
    return 0;
}
}
