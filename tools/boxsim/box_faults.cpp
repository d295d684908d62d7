// Faults on the line between the program and the box: noise and lost bytes at a set rate,
// a box that falls silent, a pulled adapter, NAKs that arrive as CANs, a box that floods the
// program with text, and "ERROR:" lines in place of the box's own texts.
//
// The faults act on bytes as they cross the line; the players do not know about them and keep
// their protocol. Noise and lost bytes come from a fixed-seed generator, so a run can be
// repeated exactly.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "box_faults.h"
#include "box_options.h"

namespace {

constexpr uint8_t Nak = 0x15;
constexpr uint8_t Can = 0x18;
constexpr std::string_view FloodText = "boot log: checking flash bank 0123456789abcdef ";
constexpr std::string_view ErrorLine = "ERROR: line fault\r\n";

enum Direction { DirToBox = 1, DirToProgram = 2, DirBoth = 3 };

bool ParseDirection(const std::string& text, int& direction) {
    if (text == "to-box") {
        direction = DirToBox;
    } else if (text == "to-program") {
        direction = DirToProgram;
    } else if (text == "both") {
        direction = DirBoth;
    } else {
        return false;
    }
    return true;
}

class Faults : public LineFaults {
  public:
    explicit Faults(const BoxOptions& options) {
        noiseRate_ = std::atof(options.Get("noise-rate", "0").c_str());
        dropRate_ = std::atof(options.Get("drop-rate", "0").c_str());
        from_ = static_cast<uint64_t>(options.GetInt("faults-from", 1));
        state_ = static_cast<uint64_t>(options.GetInt("fault-seed", 1)) * 0x9E3779B97F4A7C15ull | 1;
        silenceAfter_ = static_cast<uint64_t>(options.GetInt("silence-after", 0));
        silenceMs_ = options.GetInt("silence-ms", 0);
        hangupAfter_ = static_cast<uint64_t>(options.GetInt("hangup-after", 0));
        nakAsCan_ = options.Has("nak-as-can");
        floodBefore_ = options.Get("flood-before");
        floodBytes_ = static_cast<size_t>(options.GetInt("flood-bytes", 10239));
        errorInstead_ = options.Get("error-instead");
        paceInput_ = options.Has("pace-input");
        valid_ = ParseDirection(options.Get("noise-dir", "both"), noiseDirection_) &&
                 ParseDirection(options.Get("drop-dir", "to-box"), dropDirection_) &&
                 noiseRate_ >= 0 && noiseRate_ <= 1 && dropRate_ >= 0 && dropRate_ <= 1;
    }

    bool Valid() const override { return valid_; }

    int FromProgram(LineControl& line, uint8_t byte, double arrivedAtMs) override {
        ++fromProgram_;
        if (paceInput_ && line.BoxBaud() != 0) {
            TakeAtLineRate(line.BoxBaud(), arrivedAtMs);
        }
        if (hangupAfter_ != 0 && fromProgram_ == hangupAfter_) {
            line.Log("fault: pulling the line at the program's byte %llu",
                     static_cast<unsigned long long>(fromProgram_));
            line.HangUp();
            return -1;
        }
        if (silenceAfter_ != 0 && fromProgram_ == silenceAfter_) {
            line.Log("fault: silent for %ld ms from the program's byte %llu", silenceMs_,
                     static_cast<unsigned long long>(fromProgram_));
            std::this_thread::sleep_for(std::chrono::milliseconds(silenceMs_));
            line.Log("fault: listening again");
        }
        if (fromProgram_ < from_) {
            return byte;
        }
        if ((dropDirection_ & DirToBox) && Chance(dropRate_)) {
            ++dropped_;
            return -1;
        }
        if ((noiseDirection_ & DirToBox) && Chance(noiseRate_)) {
            ++flipped_;
            return byte ^ (1 << (Next() % 8));
        }
        return byte;
    }

    void ToProgram(LineControl& line, std::string& bytes) override {
        if (!errorInstead_.empty() && bytes.find(errorInstead_) != std::string::npos) {
            line.Log("fault: \"%s\" in place of \"%s\"", PrintableBytes(ErrorLine).c_str(),
                     PrintableBytes(bytes).c_str());
            bytes = ErrorLine;
        }
        if (!floodBefore_.empty() && !flooded_ && bytes.find(floodBefore_) != std::string::npos) {
            flooded_ = true;
            std::string flood;
            while (flood.size() < floodBytes_) {
                flood += FloodText;
            }
            flood.resize(floodBytes_);
            line.Log("fault: %zu bytes of text before \"%s\"", flood.size(),
                     PrintableBytes(floodBefore_).c_str());
            bytes.insert(0, flood);
        }
        for (char& c : bytes) {
            if (nakAsCan_ && static_cast<uint8_t>(c) == Nak) {
                c = static_cast<char>(Can);
            }
        }
        if (fromProgram_ + 1 < from_ || (noiseRate_ == 0 && dropRate_ == 0)) {
            return;
        }
        std::string out;
        out.reserve(bytes.size());
        for (char c : bytes) {
            if ((dropDirection_ & DirToProgram) && Chance(dropRate_)) {
                ++dropped_;
                continue;
            }
            if ((noiseDirection_ & DirToProgram) && Chance(noiseRate_)) {
                ++flipped_;
                c = static_cast<char>(c ^ (1 << (Next() % 8)));
            }
            out += c;
        }
        bytes.swap(out);
    }

    ~Faults() override {
        if (noiseRate_ > 0 || dropRate_ > 0) {
            std::fprintf(stderr, "boxsim: fault: %llu bytes garbled, %llu lost\n",
                         static_cast<unsigned long long>(flipped_),
                         static_cast<unsigned long long>(dropped_));
        }
    }

  private:
    // Each byte takes its 10 bits on the line after the one before it, and cannot have come
    // before the program wrote it: its last bit is on the line at the later of the two plus its
    // own 10 bits. The box waits for that moment when it is more than a millisecond away
    // (shorter waits cost more than they pace). Slots follow from arrival times, not from when
    // the box woke up, so late wake-ups do not add up.
    void TakeAtLineRate(uint32_t baud, double arrivedAtMs) {
        lineFreeAtMs_ = std::max(lineFreeAtMs_, arrivedAtMs) + 10000.0 / baud;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double nowMs =
            static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
        if (lineFreeAtMs_ - nowMs > 1.0) {
            std::this_thread::sleep_for(
                std::chrono::microseconds(static_cast<long>((lineFreeAtMs_ - nowMs) * 1000.0)));
        }
    }

    // xorshift64*
    uint64_t Next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1Dull;
    }
    bool Chance(double rate) {
        return rate > 0 && static_cast<double>(Next() >> 11) * 0x1.0p-53 < rate;
    }

    double noiseRate_ = 0;
    double dropRate_ = 0;
    int noiseDirection_ = DirBoth;
    int dropDirection_ = DirToBox;
    uint64_t from_ = 1;
    uint64_t state_ = 1;
    uint64_t silenceAfter_ = 0;
    long silenceMs_ = 0;
    uint64_t hangupAfter_ = 0;
    bool nakAsCan_ = false;
    std::string floodBefore_;
    size_t floodBytes_ = 0;
    bool flooded_ = false;
    std::string errorInstead_;
    bool paceInput_ = false;
    double lineFreeAtMs_ = 0;
    bool valid_ = true;
    uint64_t fromProgram_ = 0;
    uint64_t flipped_ = 0;
    uint64_t dropped_ = 0;
};

}  // namespace

std::unique_ptr<LineFaults> MakeLineFaults(const BoxOptions& options) {
    bool asked = false;
    for (const OptionInfo& option : BoxOptionTable()) {
        asked = asked ||
                (option.group == OptionGroup::LineFaults && options.Has(std::string(option.name)));
    }
    if (!asked) {
        return nullptr;
    }
    auto faults = std::make_unique<Faults>(options);
    if (!faults->Valid()) {  // BoxLine::Open fails then
        std::fprintf(stderr,
                     "boxsim: fault options: rates lie from 0 to 1, directions are to-box, "
                     "to-program or both\n");
    }
    return faults;
}
