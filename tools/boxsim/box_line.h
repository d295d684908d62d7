// The simulated box's line: the master side of a pseudo-terminal that plays a box's bootloader.
//
// BoxLine is the box's UART. It reads the line settings that the program set on the slave side
// (speed, RTS/CTS) and behaves like a real UART: bytes sent at a speed other than the box's own
// arrive garbled in both directions. With pacing on, traffic runs at the line rate (10 bits per
// byte). Every family of bootloaders is played by one Play... function (box_players.h).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "box_adapter.h"
#include "box_faults.h"
#include "box_line_control.h"
#include "box_options.h"

// Makes SIGTERM, SIGINT and SIGHUP end the box's waits: every BoxLine read and write returns
// as after a hang-up, so that boxsim can clean up (symlink) and report what it saw.
void BoxStopOnSignals();

class BoxLine final : public LineControl {
  public:
    BoxLine() = default;
    BoxLine(const BoxLine&) = delete;
    BoxLine& operator=(const BoxLine&) = delete;
    ~BoxLine();

    // Opens a pseudo-terminal; prints nothing. Returns false on failure.
    bool Open(const BoxOptions& options);
    const std::string& SlavePath() const { return slavePath_; }

    // The box's own speed (what its UART is set to now).
    void SetBoxBaud(uint32_t baud) { boxBaud_ = baud; }
    uint32_t BoxBaud() const override { return boxBaud_; }
    // What the program set on its side: speed and RTS/CTS flow control.
    uint32_t ProgramBaud() const;
    bool ProgramRtsCts() const;

    // One byte from the program within timeoutMs (-1: no limit). Returns 0..255, -1 on
    // time-out, -2 when the line ended (the program hung up, or boxsim was asked to stop; while
    // boxsim holds the slave side open a program's close is no hang-up). Garbled when the
    // speeds differed when the byte was taken from the line.
    int ReadByte(int timeoutMs);
    // Exactly n bytes; false on time-out or hang-up.
    bool ReadExact(std::vector<uint8_t>& out, size_t n, int timeoutMs);
    // Reads until `text` has arrived (other bytes are skipped); false on time-out or hang-up.
    bool ReadUntil(std::string_view text, int timeoutMs);
    // Reads and compares; a mismatch is a protocol violation (logged) and returns false.
    bool Expect(std::string_view bytes, int timeoutMs);
    // Waits until the program has sent nothing for quietMs; returns the bytes it did send.
    std::vector<uint8_t> DrainQuiet(int quietMs);

    // Sends bytes to the program (paced when pacing is on; garbled at the wrong speed; held by
    // the USB adapter when there is one).
    void Send(std::string_view bytes);
    void Send(const std::vector<uint8_t>& bytes);
    void SendByte(uint8_t byte);
    // Waits up to limitMs until the program has read everything the box sent (closing the
    // line would throw away what is still waiting on the program's side), the USB adapter's
    // held bytes included; then logs the adapter's packets.
    void AwaitDelivery(int limitMs);

    // Logging on standard error with the prefix "boxsim: ".
    void Log(const char* format, ...) override __attribute__((format(printf, 2, 3)));
    // A protocol violation: logged, remembered, and makes boxsim exit non-zero.
    void Violation(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool Violated() const { return violated_; }
    // True once the program hung up or boxsim was asked to stop (BoxStopOnSignals).
    bool Ended() const { return ended_; }
    // Bytes received from the program so far (0: the program never came).
    uint64_t BytesReceived() const { return bytesReceived_; }

    // Pulls the line like a USB adapter pulled out: both sides of the pseudo-terminal close, so
    // the program's next read or write fails; the box's reads return -2 from now on.
    void HangUp() override;

    // Writes `data` to options.savePath, if one was given.
    void Save(const BoxOptions& options, const std::vector<uint8_t>& data);

    // Timestamps (ms, monotonic) of the box's last send and of the program's next byte, for
    // reply-latency measurements.
    std::vector<double>& ReplyLatenciesMs() { return latencies_; }
    void MarkReplySent();

  private:
    // Fetches what the program has sent into inbox_; 1 when bytes came, -1 time-out, -2 ended.
    int Fill(int timeoutMs);
    bool WriteAll(const uint8_t* data, size_t length);
    // Hands bytes to the line towards the program: to the USB adapter, or straight to the
    // terminal when there is none.
    bool Deliver(const uint8_t* data, size_t length);
    void NoteSpeeds(bool garbled, uint32_t programBaud, const char* direction);

    struct Arrival {
        uint8_t byte;
        uint32_t programBaud;  // the program's speed when the byte was taken from the line
        double atMs;
    };

    int master_ = -1;
    int slave_ = -1;  // kept open so that the line does not hang up between program runs
    std::string slavePath_;
    std::string linkPath_;  // symlink made by Open, removed again by the destructor
    uint32_t boxBaud_ = 115200;
    bool pace_ = false;
    bool violated_ = false;
    bool ended_ = false;
    bool garbling_ = false;  // speeds differed at the last byte (logged once per change)
    uint64_t bytesReceived_ = 0;
    double nextSlotMs_ = 0;  // with pacing: when the line is free for the next byte
    std::vector<Arrival> inbox_;
    size_t inboxPos_ = 0;
    double replySentAt_ = -1;
    std::vector<double> latencies_;
    std::unique_ptr<LineFaults> faults_;   // nullptr: a clean line
    bool markEverySend_ = false;           // --reply-latency-all
    std::unique_ptr<UsbAdapter> adapter_;  // nullptr: the box's bytes go out at once
};
