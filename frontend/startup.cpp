// Placeholder until this part is built.
#include <cstdlib>
#include "frontend/settings.h"

int language = 0;
int serviceMode = 0;
char imageTypeLetter = 'A';
RevisionPair ParseRevision(const char*) {
    return {};
}
void PrintUsage(int, int) {}
void ExitProgram(int code) {
    std::exit(code);
}
void StartUp(int, char**, SessionSettings&) {}
