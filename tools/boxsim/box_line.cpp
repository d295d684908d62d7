// The box's UART on the master side of a pseudo-terminal.
//
// On Linux the master side reads the termios of the slave side, which is where the program
// sets its line speed; the box compares that speed with its own for every byte in either
// direction and garbles the byte when they differ, as a real UART at the wrong speed would.
// Bytes are garbled deterministically (value ^ 0xA5), so a keyword or a digit sent at the wrong
// speed never arrives as itself. Parity cannot be seen on a pseudo-terminal (the kernel keeps
// 8 data bits without parity there), so it is not simulated.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "box_line.h"
#include "serial/line_trace.h"

namespace {

constexpr uint8_t GarbleMask = 0xA5;

// Set by the stop signals; the pipe wakes a waiting poll.
volatile sig_atomic_t stopRequested = 0;
int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    stopRequested = 1;
    if (stopPipe[1] >= 0) {
        const char wake = 's';
        [[maybe_unused]] ssize_t ignored = write(stopPipe[1], &wake, 1);
    }
}

double NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

void SleepUntilMs(double deadlineMs) {
    timespec at{};
    at.tv_sec = static_cast<time_t>(deadlineMs / 1000.0);
    at.tv_nsec = static_cast<long>((deadlineMs - static_cast<double>(at.tv_sec) * 1000.0) * 1e6);
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        if (stopRequested) {
            return;
        }
    }
}

struct SpeedName {
    speed_t code;
    uint32_t baud;
};
constexpr SpeedName Speeds[] = {
    {B0, 0},
    {B50, 50},
    {B75, 75},
    {B110, 110},
    {B134, 134},
    {B150, 150},
    {B200, 200},
    {B300, 300},
    {B600, 600},
    {B1200, 1200},
    {B1800, 1800},
    {B2400, 2400},
    {B4800, 4800},
    {B9600, 9600},
    {B19200, 19200},
    {B38400, 38400},
    {B57600, 57600},
    {B115200, 115200},
    {B230400, 230400},
    {B460800, 460800},
    {B500000, 500000},
    {B576000, 576000},
    {B921600, 921600},
    {B1000000, 1000000},
    {B1152000, 1152000},
    {B1500000, 1500000},
    {B2000000, 2000000},
    {B2500000, 2500000},
    {B3000000, 3000000},
    {B3500000, 3500000},
    {B4000000, 4000000},
};

}  // namespace

std::string PrintableBytes(std::string_view bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

void BoxStopOnSignals() {
    if (stopPipe[0] < 0 && pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        stopPipe[0] = stopPipe[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a blocked write or sleep returns at once
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// ---- BoxLine ----------------------------------------------------------------------------------

BoxLine::~BoxLine() {
    adapter_.reset();  // its thread writes to the terminal closed below
    if (!linkPath_.empty()) {
        // Remove the symlink only while it still points at this box's line.
        char target[256] = {};
        ssize_t n = readlink(linkPath_.c_str(), target, sizeof target - 1);
        if (n > 0 && slavePath_ == std::string(target, static_cast<size_t>(n))) {
            unlink(linkPath_.c_str());
        }
    }
    if (slave_ >= 0) {
        close(slave_);
    }
    if (master_ >= 0) {
        close(master_);
    }
}

bool BoxLine::Open(const BoxOptions& options) {
    boxBaud_ = options.baudRate;
    pace_ = options.pace;
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        Log("cannot open a pseudo-terminal: %s", std::strerror(errno));
        return false;
    }
    char name[128] = {};
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name)) {
        Log("cannot prepare the pseudo-terminal: %s", std::strerror(errno));
        return false;
    }
    slavePath_ = name;
    // The settings set through the master are the slave's: make the line raw, so that nothing
    // the box sends is echoed back or changed before the program has set up the port.
    termios settings{};
    if (tcgetattr(master_, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(master_, TCSANOW, &settings);
    }
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        Log("cannot open %s: %s", name, std::strerror(errno));
        return false;
    }
    if (!options.linkPath.empty()) {
        struct stat existing {};
        if (lstat(options.linkPath.c_str(), &existing) == 0) {
            if (!S_ISLNK(existing.st_mode)) {
                Log("%s exists and is not a symlink; not replacing it", options.linkPath.c_str());
                return false;
            }
            unlink(options.linkPath.c_str());  // a stale link of an earlier run
        }
        if (symlink(name, options.linkPath.c_str()) != 0) {
            Log("cannot make the symlink %s: %s", options.linkPath.c_str(), std::strerror(errno));
            return false;
        }
        linkPath_ = options.linkPath;
    }
    markEverySend_ = options.Has("reply-latency-all");
    if (options.adapterLatencyMs > 0) {
        adapter_ = std::make_unique<UsbAdapter>(master_, options.adapterLatencyMs);
        Log("USB adapter on the line: the box's bytes go out in packets of up to %zu, %d ms "
            "after the first held byte",
            AdapterHold::PacketBytes, options.adapterLatencyMs);
    }
    faults_ = MakeLineFaults(options);
    return faults_ == nullptr || faults_->Valid();
}

void BoxLine::HangUp() {
    if (ended_ && master_ < 0) {
        return;
    }
    Log("line pulled: the box's side of the line is gone");
    adapter_.reset();  // what it held is lost with it
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
    ended_ = true;
}

uint32_t BoxLine::ProgramBaud() const {
    termios settings{};
    if (master_ < 0 || tcgetattr(master_, &settings) != 0) {
        return 0;
    }
    const speed_t code = cfgetospeed(&settings);
    for (const SpeedName& speed : Speeds) {
        if (speed.code == code) {
            return speed.baud;
        }
    }
    return 0;
}

bool BoxLine::ProgramRtsCts() const {
    termios settings{};
    if (master_ < 0 || tcgetattr(master_, &settings) != 0) {
        return false;
    }
    return (settings.c_cflag & CRTSCTS) != 0;
}

void BoxLine::NoteSpeeds(bool garbled, uint32_t programBaud, const char* direction) {
    if (garbled != garbling_) {
        garbling_ = garbled;
        if (garbled) {
            Log("speeds differ (program %u baud, box %u baud): %s garbled", programBaud, boxBaud_,
                direction);
        } else {
            Log("speeds agree again (%u baud)", boxBaud_);
        }
    }
}

int BoxLine::Fill(int timeoutMs) {
    if (ended_) {
        return -2;
    }
    const double deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    for (;;) {
        if (stopRequested) {
            ended_ = true;
            Log("asked to stop");
            return -2;
        }
        int waitMs = -1;
        if (deadline >= 0) {
            const double left = deadline - NowMs();
            if (left <= 0) {
                return -1;
            }
            waitMs = static_cast<int>(left) + 1;
        }
        pollfd fds[2] = {{master_, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        const int ready = poll(fds, stopPipe[0] >= 0 ? 2 : 1, waitMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            Log("poll failed: %s", std::strerror(errno));
            ended_ = true;
            return -2;
        }
        if (ready == 0 || (fds[0].revents == 0)) {
            continue;  // time-out is caught at the top; a stop wake-up too
        }
        uint8_t chunk[256];
        const ssize_t n = read(master_, chunk, sizeof chunk);
        if (n > 0) {
            TraceLineBytes(LineDirection::ProgToBox, chunk, static_cast<uint32_t>(n));
            const uint32_t programBaud = ProgramBaud();
            const double at = NowMs();
            if (inboxPos_ == inbox_.size()) {
                inbox_.clear();
                inboxPos_ = 0;
            }
            for (ssize_t i = 0; i < n; ++i) {
                inbox_.push_back({chunk[i], programBaud, at});
            }
            return 1;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        ended_ = true;
        TraceLineEvent("close", "the program hung up");
        Log("the program hung up");
        return -2;
    }
}

int BoxLine::ReadByte(int timeoutMs) {
    for (;;) {
        if (inboxPos_ == inbox_.size()) {
            const int result = Fill(timeoutMs);
            if (result < 0) {
                return result;
            }
        }
        const Arrival arrival = inbox_[inboxPos_++];
        ++bytesReceived_;
        if (replySentAt_ >= 0) {
            latencies_.push_back(std::max(0.0, arrival.atMs - replySentAt_));
            replySentAt_ = -1;
        }
        const bool garbled = arrival.programBaud != boxBaud_;
        NoteSpeeds(garbled, arrival.programBaud, "input");
        int byte = garbled ? (arrival.byte ^ GarbleMask) : arrival.byte;
        if (faults_) {
            byte = faults_->FromProgram(*this, static_cast<uint8_t>(byte), arrival.atMs);
            if (ended_) {
                return -2;
            }
            if (byte < 0) {
                continue;  // lost on the line
            }
        }
        return byte;
    }
}

bool BoxLine::ReadExact(std::vector<uint8_t>& out, size_t n, int timeoutMs) {
    const double deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    out.clear();
    while (out.size() < n) {
        int left = -1;
        if (deadline >= 0) {
            left = std::max(0, static_cast<int>(deadline - NowMs()));
        }
        const int byte = ReadByte(left);
        if (byte < 0) {
            return false;
        }
        out.push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

bool BoxLine::ReadUntil(std::string_view text, int timeoutMs) {
    const double deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    std::string tail;
    while (tail.size() < text.size() ||
           std::string_view(tail).substr(tail.size() - text.size()) != text) {
        int left = -1;
        if (deadline >= 0) {
            left = std::max(0, static_cast<int>(deadline - NowMs()));
        }
        const int byte = ReadByte(left);
        if (byte < 0) {
            return false;
        }
        tail += static_cast<char>(byte);
        if (tail.size() > 2 * text.size() + 64) {
            tail.erase(0, tail.size() - text.size());
        }
    }
    return true;
}

bool BoxLine::Expect(std::string_view bytes, int timeoutMs) {
    std::vector<uint8_t> got;
    const bool complete = ReadExact(got, bytes.size(), timeoutMs);
    const std::string_view gotText(reinterpret_cast<const char*>(got.data()), got.size());
    if (complete && gotText == bytes) {
        return true;
    }
    if (!complete && ended_) {
        Log("line ended while expecting \"%s\" (got \"%s\")", PrintableBytes(bytes).c_str(),
            PrintableBytes(gotText).c_str());
        return false;
    }
    Violation("expected \"%s\", got \"%s\"%s", PrintableBytes(bytes).c_str(),
              PrintableBytes(gotText).c_str(), complete ? "" : " before the time-out");
    return false;
}

std::vector<uint8_t> BoxLine::DrainQuiet(int quietMs) {
    std::vector<uint8_t> got;
    for (;;) {
        const int byte = ReadByte(quietMs);
        if (byte < 0) {
            return got;
        }
        got.push_back(static_cast<uint8_t>(byte));
    }
}

bool BoxLine::WriteAll(const uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        if (stopRequested || ended_) {
            ended_ = true;
            return false;
        }
        const ssize_t n = write(master_, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            pollfd fd{master_, POLLOUT, 0};
            poll(&fd, 1, 100);
            continue;
        }
        ended_ = true;
        Log("cannot send: %s", n < 0 ? std::strerror(errno) : "nothing written");
        return false;
    }
    return true;
}

bool BoxLine::Deliver(const uint8_t* data, size_t length) {
    TraceLineBytes(LineDirection::BoxToProg, data, static_cast<uint32_t>(length));
    if (adapter_ == nullptr) {
        return WriteAll(data, length);
    }
    if (stopRequested || ended_) {
        ended_ = true;
        return false;
    }
    if (!adapter_->Send(data, length)) {
        ended_ = true;
        Log("cannot send: %s", adapter_->Failure().c_str());
        return false;
    }
    return true;
}

void BoxLine::Send(std::string_view bytes) {
    std::string faulted;
    if (faults_ && !ended_) {
        faulted.assign(bytes);
        faults_->ToProgram(*this, faulted);
        bytes = faulted;
    }
    if (bytes.empty() || ended_) {
        return;
    }
    const uint32_t programBaud = ProgramBaud();
    const bool garbled = programBaud != boxBaud_;
    NoteSpeeds(garbled, programBaud, "output");
    std::vector<uint8_t> out(bytes.begin(), bytes.end());
    if (garbled) {
        for (uint8_t& byte : out) {
            byte ^= GarbleMask;
        }
    }
    if (!pace_ || boxBaud_ == 0) {
        if (Deliver(out.data(), out.size()) && markEverySend_) {
            MarkReplySent();
        }
        return;
    }
    // 10 bits per byte at the box's speed; each small chunk is handed over when its last stop
    // bit would have arrived, with absolute deadlines so that the rate does not drift.
    const double byteMs = 10000.0 / boxBaud_;
    const size_t chunk = std::max<size_t>(1, boxBaud_ / 10000);  // about 1 ms of traffic
    double slot = std::max(nextSlotMs_, NowMs());
    for (size_t at = 0; at < out.size(); at += chunk) {
        const size_t n = std::min(chunk, out.size() - at);
        slot += byteMs * static_cast<double>(n);
        SleepUntilMs(slot);
        if (!Deliver(out.data() + at, n)) {
            return;
        }
    }
    nextSlotMs_ = slot;
    if (markEverySend_) {
        MarkReplySent();
    }
}

void BoxLine::Send(const std::vector<uint8_t>& bytes) {
    Send(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void BoxLine::SendByte(uint8_t byte) {
    const char c = static_cast<char>(byte);
    Send(std::string_view(&c, 1));
}

void BoxLine::AwaitDelivery(int limitMs) {
    // What the box wrote reaches the program's input queue a moment later (the kernel hands it
    // over in the background), so the queue must be seen empty twice, 20 ms apart.
    const double deadline = NowMs() + limitMs;
    if (adapter_ != nullptr) {
        if (!adapter_->AwaitEmpty(limitMs)) {
            Log("the USB adapter still holds bytes");
        }
        Log("USB adapter: %llu packets delivered, %llu of them by the latency timer",
            static_cast<unsigned long long>(adapter_->Packets()),
            static_cast<unsigned long long>(adapter_->TimerPackets()));
    }
    int waiting = 0;
    int emptyChecks = 0;
    while (slave_ >= 0 && !stopRequested && emptyChecks < 2 && NowMs() < deadline) {
        SleepUntilMs(NowMs() + 20);
        if (ioctl(slave_, TIOCINQ, &waiting) != 0) {
            return;
        }
        emptyChecks = waiting == 0 ? emptyChecks + 1 : 0;
    }
    if (waiting > 0) {
        Log("%d bytes sent were not read by the program", waiting);
    }
}

void BoxLine::Log(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "boxsim: %s\n", text);
    std::fflush(stderr);
}

void BoxLine::Violation(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    violated_ = true;
    std::fprintf(stderr, "boxsim: violation: %s\n", text);
    std::fflush(stderr);
}

void BoxLine::Save(const BoxOptions& options, const std::vector<uint8_t>& data) {
    if (options.savePath.empty()) {
        return;
    }
    std::FILE* file = std::fopen(options.savePath.c_str(), "wb");
    if (file == nullptr) {
        Log("cannot save to %s: %s", options.savePath.c_str(), std::strerror(errno));
        return;
    }
    const size_t written = std::fwrite(data.data(), 1, data.size(), file);
    if (std::fclose(file) != 0 || written != data.size()) {
        Log("saving to %s failed", options.savePath.c_str());
        return;
    }
    Log("saved %zu bytes to %s", data.size(), options.savePath.c_str());
}

void BoxLine::MarkReplySent() {
    replySentAt_ = NowMs();
}
