// Placeholder until this part is built.
#include "platform/platform.h"

static thread_local uint32_t lastError = 0;
void SetLastErrorValue(uint32_t value) {
    lastError = value;
}
uint32_t GetLastErrorValue() {
    return lastError;
}
int ReadConsoleChar() {
    return -1;
}
void ConsoleBeep() {}
uint32_t GetProcessPriorityClass() {
    return 0;
}
void SetProcessPriorityClass(uint32_t) {}
File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        stream_ = other.stream_;
        other.stream_ = nullptr;
    }
    return *this;
}
File File::OpenRead(const char*) {
    return File();
}
File File::Create(const char*) {
    return File();
}
int File::Size(uint64_t& size) {
    size = 0;
    return 0;
}
int File::Read(void*, uint32_t, uint32_t& got) {
    got = 0;
    return 0;
}
int File::Write(const void*, uint32_t) {
    return 0;
}
void File::Close() {}
int DeleteFileNamed(const char*) {
    return 0;
}
