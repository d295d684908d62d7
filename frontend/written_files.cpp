// Checks of the names of the files a run writes (frontend/written_files.h).
#include "frontend/written_files.h"

#include <cstdio>

#include "common/messages.h"
#include "frontend/startup.h"
#include "platform/file_identity.h"
#include "platform/platform.h"

namespace {

constexpr const char* HyperPadName = "hyper.pad";

bool Same(const char* a, LinkRule aRule, const char* b, LinkRule bRule) {
    return a != nullptr && b != nullptr && SameFile(IdentifyFile(a, aRule), IdentifyFile(b, bRule));
}

void Refuse(Hint hint, const char* name) {
    std::fflush(stdout);
    std::fprintf(ErrorOutput(), hintText(hint), name);
    std::fputc('\n', ErrorOutput());
    std::fflush(stderr);
}

}  // namespace

void RefuseHyperPadImage(const char* imageName) {
    // The image itself, or a link named hyper.pad that the program would replace and then read
    // the hyper bootloader through in place of the image.
    if (Same(imageName, LinkRule::Follow, HyperPadName, LinkRule::Own) ||
        Same(imageName, LinkRule::Own, HyperPadName, LinkRule::Own)) {
        Refuse(Hint::ImageIsHyperPad, imageName);
        ExitProgram(1);
    }
}

bool TraceNameAllowed(const char* traceName, const char* imageName, const char* logName) {
    if (Same(traceName, LinkRule::Own, imageName, LinkRule::Follow)) {
        Refuse(Hint::TraceIsImage, traceName);
        return false;
    }
    if (Same(traceName, LinkRule::Own, logName, LinkRule::Follow)) {
        Refuse(Hint::TraceIsLog, traceName);
        return false;
    }
    return true;
}

bool LogNameAllowed(const char* logName, const char* imageName, const char* traceName) {
    if (Same(logName, LinkRule::Follow, imageName, LinkRule::Follow)) {
        Refuse(Hint::LogIsImage, logName);
        return false;
    }
    if (Same(logName, LinkRule::Follow, traceName, LinkRule::Own)) {
        Refuse(Hint::LogIsTrace, logName);
        return false;
    }
    return true;
}
