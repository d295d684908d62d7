// The simulated box: the master side of a pseudo-terminal that plays a box's bootloader.
//
// BoxLine is the box's UART. It reads the line settings that the program set on the slave side
// (speed, RTS/CTS) and behaves like a real UART: bytes sent at a speed other than the box's own
// arrive garbled in both directions. With pacing on, traffic runs at the line rate (10 bits per
// byte). Every family of bootloaders is played by one Play... function.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct BoxOptions {
    std::string version = "24.4";  // bootloader version the box reports ("major.minor")
    uint32_t hardwareType = 0x14;  // hardware type of the box
    uint32_t baudRate = 115200;    // the box's own speed after the access
    bool pace = false;             // pace traffic at the line rate
    std::string linkPath;          // symlink to the slave device, if asked
    std::string savePath;          // where to save what the box received
    // Options of the individual protocols: "--name value" or "--name=value" on the command
    // line; a "--name" without value holds "1".
    std::map<std::string, std::string> extra;

    std::string Get(const std::string& name, const std::string& fallback = "") const;
    long GetInt(const std::string& name, long fallback = 0) const;  // decimal or 0x hex
    bool Has(const std::string& name) const { return extra.count(name) != 0; }
    int Major() const;
    int Minor() const;

    // What kind of access the box plays (with the options that force a kind):
    // a legacy loader (10.0-12.3, --legacy, --legacy-id) wants "pelmorant" or "stravinol";
    // boxes of the synchronising hardware types and the 4.11-4.13 loaders run the digit
    // synchronisation (--sync, --no-granted, --no-sync force it on or off); the synchronising
    // hardware types also answer "granted".
    bool Legacy() const;
    bool Synchronises() const;
    bool AnswersGranted() const;
    // Limit for each wait in the middle of a conversation (--step-timeout, default 30000 ms).
    int StepTimeoutMs() const;
};

// Bytes as readable text for the log: printable ASCII as is, others as \r, \n or \xHH.
std::string PrintableBytes(std::string_view bytes);

// Makes SIGTERM, SIGINT and SIGHUP end the box's waits: every BoxLine read and write returns
// as after a hang-up, so that boxsim can clean up (symlink) and report what it saw.
void BoxStopOnSignals();

class BoxLine;

// A fault on the line between the program and the box (faults.cpp): noise, lost bytes,
// silences, a pulled adapter, and texts the box sends in place of its own.
class LineFaults {
  public:
    virtual ~LineFaults() = default;
    // A byte from the program as the box's UART takes it (read from the terminal at
    // `arrivedAtMs`, on the monotonic clock in ms): the byte (perhaps changed), or -1 when the
    // line lost it.
    virtual int FromProgram(BoxLine& line, uint8_t byte, double arrivedAtMs) = 0;
    // What the box is about to send; may be changed, cut or extended before it goes out.
    virtual void ToProgram(BoxLine& line, std::string& bytes) = 0;
    // False when the options asked for something that makes no sense (told on standard error).
    virtual bool Valid() const { return true; }
};

// The faults that the options ask for (see FaultUsageText), or nullptr for a clean line.
std::unique_ptr<LineFaults> MakeLineFaults(const BoxOptions& options);
// The fault options for boxsim --help.
extern const char* const FaultUsageText;

class BoxLine {
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
    uint32_t BoxBaud() const { return boxBaud_; }
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

    // Sends bytes to the program (paced when pacing is on; garbled at the wrong speed).
    void Send(std::string_view bytes);
    void Send(const std::vector<uint8_t>& bytes);
    void SendByte(uint8_t byte);
    // Waits up to limitMs until the program has read everything the box sent (closing the
    // line would throw away what is still waiting on the program's side).
    void AwaitDelivery(int limitMs);

    // Logging on standard error with the prefix "boxsim: ".
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // A protocol violation: logged, remembered, and makes boxsim exit non-zero.
    void Violation(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool Violated() const { return violated_; }
    // True once the program hung up or boxsim was asked to stop (BoxStopOnSignals).
    bool Ended() const { return ended_; }
    // Bytes received from the program so far (0: the program never came).
    uint64_t BytesReceived() const { return bytesReceived_; }

    // Pulls the line like a USB adapter pulled out: both sides of the pseudo-terminal close, so
    // the program's next read or write fails; the box's reads return -2 from now on.
    void HangUp();

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
    std::unique_ptr<LineFaults> faults_;  // nullptr: a clean line
    bool markEverySend_ = false;          // --reply-latency-all
};

// The access handshake: keyword, "granted", digit echo, 0xAF 0xFE and the version line (or,
// for the legacy loaders, the keyword and 0x01). Returns false on a violation or hang-up.
bool PlayAccess(BoxLine& line, const BoxOptions& options);

// One player per family of bootloaders; each returns 0 when the program kept the protocol,
// 1 otherwise. They run after PlayAccess.
int PlayStreaming(BoxLine& line, const BoxOptions& options);      // 12.4-12.6, 21.x-24.x, 0.0
int PlayMenuLoader(BoxLine& line, const BoxOptions& options);     // 2.0-4.x menus, 20.5-21.0
int PlayHyperLoader(BoxLine& line, const BoxOptions& options);    // 1.4-1.9
int PlayLoader411(BoxLine& line, const BoxOptions& options);      // 4.11-4.13
int PlayXmodemVerdict(BoxLine& line, const BoxOptions& options);  // 5.1, 5.3
int PlayLegacy(BoxLine& line, const BoxOptions& options);         // 10.0-12.3 legacy loaders
int PlaySatellite(BoxLine& line, const BoxOptions& options);      // -s menu answer
