// The USB serial adapter's hold of the box's bytes and the thread that delivers them.
#include "box_adapter.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::chrono::steady_clock::time_point AtMs(double ms) {
    using namespace std::chrono;
    return steady_clock::time_point(
        duration_cast<steady_clock::duration>(duration<double, std::milli>(ms)));
}

}  // namespace

// ---- AdapterHold ------------------------------------------------------------------------------

void AdapterHold::Put(const uint8_t* data, size_t length, double nowMs) {
    for (size_t i = 0; i < length; ++i) {
        held_.push_back({data[i], nowMs});
    }
}

std::vector<std::vector<uint8_t>> AdapterHold::Take(double nowMs) {
    std::vector<std::vector<uint8_t>> packets;
    while (!held_.empty() && (held_.size() >= PacketBytes || nowMs >= DueAtMs())) {
        const size_t n = std::min(held_.size(), PacketBytes);
        std::vector<uint8_t> packet;
        packet.reserve(n);
        for (size_t i = 0; i < n; ++i) {
            packet.push_back(held_.front().byte);
            held_.pop_front();
        }
        packets.push_back(std::move(packet));
    }
    return packets;
}

double AdapterHold::DueAtMs() const {
    return held_.empty() ? -1.0 : held_.front().atMs + latencyMs_;
}

// ---- UsbAdapter -------------------------------------------------------------------------------

UsbAdapter::UsbAdapter(int fd, int latencyMs) : fd_(fd), hold_(latencyMs) {
    // The stop signals belong to the box's own thread, whose waits they end: the adapter's
    // thread starts with them blocked.
    sigset_t stopSignals;
    sigset_t previous;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    thread_ = std::thread([this] { Run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

UsbAdapter::~UsbAdapter() {
    Stop();
}

bool UsbAdapter::Send(const uint8_t* data, size_t length) {
    std::lock_guard lock(mutex_);
    if (stop_ || !failure_.empty()) {
        return false;
    }
    hold_.Put(data, length, NowMs());
    changed_.notify_all();
    return true;
}

bool UsbAdapter::AwaitEmpty(int limitMs) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(
               lock, AtMs(NowMs() + limitMs),
               [this] { return stop_ || !failure_.empty() || (hold_.Held() == 0 && !writing_); }) &&
           hold_.Held() == 0 && !writing_;
}

void UsbAdapter::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

uint64_t UsbAdapter::Packets() const {
    std::lock_guard lock(mutex_);
    return packets_;
}

uint64_t UsbAdapter::TimerPackets() const {
    std::lock_guard lock(mutex_);
    return timerPackets_;
}

std::string UsbAdapter::Failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

void UsbAdapter::Run() {
    std::unique_lock lock(mutex_);
    while (!stop_ && failure_.empty()) {
        std::vector<std::vector<uint8_t>> packets = hold_.Take(NowMs());
        if (packets.empty()) {
            const double due = hold_.DueAtMs();
            if (due < 0) {
                changed_.wait(lock);
            } else {
                changed_.wait_until(lock, AtMs(due));
            }
            continue;
        }
        writing_ = true;
        lock.unlock();
        bool written = true;
        uint64_t timerPackets = 0;
        for (const std::vector<uint8_t>& packet : packets) {
            written = written && Write(packet);
            timerPackets += packet.size() < AdapterHold::PacketBytes ? 1 : 0;
        }
        lock.lock();
        writing_ = false;
        packets_ += packets.size();
        timerPackets_ += timerPackets;
        if (!written && failure_.empty()) {
            failure_ = "the terminal took no more bytes";
        }
        changed_.notify_all();
    }
}

// Writes one packet to the terminal. Waits for room in pieces of 50 ms, so that Stop is not held
// up by a program that has stopped reading.
bool UsbAdapter::Write(const std::vector<uint8_t>& packet) {
    size_t done = 0;
    while (done < packet.size()) {
        pollfd room{fd_, POLLOUT, 0};
        const int ready = poll(&room, 1, 50);
        {
            std::lock_guard lock(mutex_);
            if (stop_) {
                return true;  // held bytes are lost when the adapter goes
            }
        }
        if (ready < 0 && errno != EINTR) {
            std::lock_guard lock(mutex_);
            failure_ = std::strerror(errno);
            return false;
        }
        if (ready <= 0) {
            continue;
        }
        if ((room.revents & (POLLERR | POLLNVAL)) != 0) {
            return false;
        }
        const ssize_t n = write(fd_, packet.data() + done, packet.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            std::lock_guard lock(mutex_);
            failure_ = std::strerror(errno);
            return false;
        }
    }
    return true;
}
