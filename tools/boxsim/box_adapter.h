// A USB serial adapter between the box and the program (boxsim --adapter-latency MS).
//
// Such an adapter does not pass received bytes on one by one: its chip gathers them and hands
// them to the computer as a USB packet of up to 62 bytes, either when 62 have gathered or when
// its latency timer expires (16 ms by default). A one-byte answer of the box therefore reaches
// the program up to the latency later. Only the box-to-program direction is held; what the
// program sends goes to the box at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The adapter's rule on a clock of the caller's choosing (ms): what is held and when it is due.
class AdapterHold {
  public:
    static constexpr size_t PacketBytes = 62;

    explicit AdapterHold(double latencyMs) : latencyMs_(latencyMs) {}

    // Bytes from the box, arrived at `nowMs`.
    void Put(const uint8_t* data, size_t length, double nowMs);
    // The packets due at `nowMs`, in order: every full packet, then the rest once the latency
    // has passed since the first of them arrived. Empty when nothing is due.
    std::vector<std::vector<uint8_t>> Take(double nowMs);
    // When the held bytes fall due by the latency timer; negative when nothing is held.
    double DueAtMs() const;
    size_t Held() const { return held_.size(); }

  private:
    struct HeldByte {
        uint8_t byte;
        double atMs;
    };
    double latencyMs_;
    std::deque<HeldByte> held_;
};

// The adapter on the master side of the box's pseudo-terminal: the box's bytes are held by
// AdapterHold and written to the terminal by a thread of the adapter's own, so that they go out
// on time whatever the box is doing (waiting for the program, pacing, programming its flash).
class UsbAdapter {
  public:
    UsbAdapter(int fd, int latencyMs);
    UsbAdapter(const UsbAdapter&) = delete;
    UsbAdapter& operator=(const UsbAdapter&) = delete;
    ~UsbAdapter();

    // Bytes the box sends; they are held and go out by the adapter's rule. False once a write
    // to the terminal has failed (the program's side is gone).
    bool Send(const uint8_t* data, size_t length);
    // Waits up to limitMs until nothing is held any more; false when bytes are still held.
    bool AwaitEmpty(int limitMs);
    // Ends the adapter; bytes still held are lost, as when an adapter is pulled out.
    void Stop();
    // Packets written, and how many of them the latency timer sent (fewer than 62 bytes).
    uint64_t Packets() const;
    uint64_t TimerPackets() const;
    // The reason of a failed write (empty while none failed).
    std::string Failure() const;

  private:
    void Run();
    bool Write(const std::vector<uint8_t>& packet);

    const int fd_;
    AdapterHold hold_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
    bool writing_ = false;
    std::string failure_;
    uint64_t packets_ = 0;
    uint64_t timerPackets_ = 0;
    std::thread thread_;
};
