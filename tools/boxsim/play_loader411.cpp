// The 4.11 to 4.13 loaders: a text menu, then the PC's local time (5 bytes), the announcement
// of the image (length, 0x07, software id), the image itself (unencoded; a raw image may begin
// with a lead-in record 0x11 L and L bytes), and the byte sum of the image's first
// announced-length bytes.
//
// Options: --stop N (end the transfer with "STOP" after N image bytes), --save FILE (what the
// box received as image), --clock-slack S (largest difference between the time stamp and the
// box's own local time, default 300 seconds).
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "box_line.h"
#include "box_players.h"

namespace {

constexpr uint8_t LeadInMark = 0x11;
constexpr double LeadInPauseMs = 800;  // the program pauses 1000 ms after the record

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

bool BcdValue(uint8_t byte, int limit, int& value) {
    const int high = byte >> 4;
    const int low = byte & 0x0F;
    value = high * 10 + low;
    return high <= 9 && low <= 9 && value < limit;
}

// Decodes the time stamp (Modified Julian Date, BCD time) and compares it with the box's own
// local time.
bool CheckTimeStamp(BoxLine& line, const BoxOptions& options, const std::vector<uint8_t>& stamp) {
    const long mjd = (long{stamp[0]} << 8) | stamp[1];
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!BcdValue(stamp[2], 24, hour) || !BcdValue(stamp[3], 60, minute) ||
        !BcdValue(stamp[4], 60, second)) {
        line.Violation("time stamp %02X %02X %02X: not a BCD time", stamp[2], stamp[3], stamp[4]);
        return false;
    }
    // The date from the Modified Julian Date, as a DVB receiver decodes it.
    const long yp = static_cast<long>((static_cast<double>(mjd) - 15078.2) / 365.25);
    const long yearDays = static_cast<long>(static_cast<double>(yp) * 365.25);
    const long mp = static_cast<long>(
        (static_cast<double>(mjd) - 14956.1 - static_cast<double>(yearDays)) / 30.6001);
    const long day = mjd - 14956 - yearDays - static_cast<long>(static_cast<double>(mp) * 30.6001);
    const long k = (mp == 14 || mp == 15) ? 1 : 0;
    const long year = 1900 + yp + k;
    const long month = mp - 1 - k * 12;

    std::tm stamped{};
    stamped.tm_year = static_cast<int>(year - 1900);
    stamped.tm_mon = static_cast<int>(month - 1);
    stamped.tm_mday = static_cast<int>(day);
    stamped.tm_hour = hour;
    stamped.tm_min = minute;
    stamped.tm_sec = second;
    stamped.tm_isdst = -1;
    const std::time_t then = std::mktime(&stamped);
    const double off = std::difftime(std::time(nullptr), then);
    const auto slack = static_cast<double>(options.GetInt("clock-slack", 300));
    line.Log("time stamp %04ld-%02ld-%02ld %02d:%02d:%02d (MJD %ld), %.0f s from the box's clock",
             year, month, day, hour, minute, second, mjd, off);
    if (then == static_cast<std::time_t>(-1) || off > slack || off < -slack) {
        line.Violation("the time stamp is not the local time (%.0f s off)", off);
        return false;
    }
    return true;
}

// Whether `image` is a whole PAD image with a tag of `tag` bytes (payload sum matches).
bool SoundPad(const std::vector<uint8_t>& image, size_t tag) {
    if (image.size() < 8 + tag) {
        return false;
    }
    const uint32_t n = BigEndian32(image.data());
    if (image.size() != size_t{n} + 8 + tag) {
        return false;
    }
    uint32_t sum = 0;
    for (size_t i = 4 + tag; i < 4 + tag + n; ++i) {
        sum += image[i];
    }
    return sum == BigEndian32(image.data() + 4 + tag + n);
}

class ImageReceiver {
  public:
    ImageReceiver(BoxLine& line, const BoxOptions& options)
        : line_(line), step_(options.StepTimeoutMs()), stopAfter_(options.GetInt("stop", -1)) {}

    std::vector<uint8_t> image;
    bool stopped = false;

    // Reads the image announced with `length` bytes. A PAD image (its length field plus 8 is
    // the announced length) brings its tag on top: the tag length is found by the payload sum.
    bool Receive(uint32_t length) {
        if (!ReadUpTo(length < 4 ? length : 4)) {
            return false;
        }
        if (stopped) {
            return true;
        }
        if (length >= 8 && BigEndian32(image.data()) + 8 == length) {
            for (size_t tag : {size_t{0}, size_t{1}, size_t{5}}) {
                if (!ReadUpTo(length + tag)) {
                    return false;
                }
                if (stopped) {
                    return true;
                }
                if (SoundPad(image, tag)) {
                    line_.Log("PAD image of %zu bytes with a %zu-byte tag", image.size(), tag);
                    return true;
                }
            }
            line_.Violation("the image does not end as a PAD image (%zu bytes received)",
                            image.size());
            return false;
        }
        if (!ReadUpTo(length)) {
            return false;
        }
        line_.Log("raw image of %zu bytes", image.size());
        return true;
    }

  private:
    // Reads image bytes until `size` have come (or the box stops the transfer).
    bool ReadUpTo(size_t size) {
        while (image.size() < size && !stopped) {
            if (stopAfter_ >= 0 && image.size() >= static_cast<size_t>(stopAfter_)) {
                line_.Send("STOP");
                line_.Log("STOP sent after %zu image bytes", image.size());
                stopped = true;
                return true;
            }
            const double asked = NowMs();
            const int byte = line_.ReadByte(step_);
            if (byte < 0) {
                if (byte == -1) {
                    line_.Violation("the image stopped after %zu bytes", image.size());
                }
                return false;
            }
            image.push_back(static_cast<uint8_t>(byte));
            if (!WatchLeadIn(NowMs() - asked)) {
                return false;
            }
        }
        return true;
    }

    // A raw image that begins with 0x11 L carries an L-byte record; the program pauses after
    // it before the rest follows.
    bool WatchLeadIn(double waitedMs) {
        const size_t n = image.size();
        if (n == 2 && image[0] == LeadInMark) {
            recordEnd_ = 2 + size_t{image[1]};
            line_.Log("lead-in record of %u bytes", image[1]);
        } else if (recordEnd_ != 0 && n == recordEnd_ + 1) {
            line_.Log("%.0f ms pause after the lead-in record", waitedMs);
            if (waitedMs < LeadInPauseMs) {
                line_.Violation("no pause after the lead-in record (%.0f ms)", waitedMs);
                return false;
            }
        }
        return true;
    }

    BoxLine& line_;
    int step_;
    long stopAfter_;
    size_t recordEnd_ = 0;
};

}  // namespace

int PlayLoader411(BoxLine& line, const BoxOptions& options) {
    const int step = options.StepTimeoutMs();
    line.Send("\r\nLoader " + options.version +
              "\r\n  1 Leave\r\n  2 Download software\r\nYour choice!:");
    const int choice = line.ReadByte(step);
    if (choice == '1') {
        line.Log("the program left the menu");
        return 0;
    }
    if (choice != '2') {
        line.Violation("menu answer %d, expected '2'", choice);
        return 1;
    }
    line.Send("\r\nDownload\r\nSend file:");

    std::vector<uint8_t> stamp;
    if (!line.ReadExact(stamp, 5, step)) {
        line.Violation("no time stamp");
        return 1;
    }
    if (!CheckTimeStamp(line, options, stamp)) {
        return 1;
    }

    std::vector<uint8_t> announcement;
    if (!line.ReadExact(announcement, 9, step)) {
        line.Violation("no announcement");
        return 1;
    }
    const uint32_t length = BigEndian32(announcement.data());
    const uint32_t id = BigEndian32(announcement.data() + 5);
    const uint32_t ownId =
        (static_cast<uint32_t>(options.Major()) << 16) + static_cast<uint32_t>(options.Minor());
    line.Log("announcement: length %u, type 0x%02X, software id 0x%08X", length, announcement[4],
             id);
    if (announcement[4] != 0x07 || id != ownId) {
        line.Violation("announcement type 0x%02X id 0x%08X, expected 0x07 and 0x%08X",
                       announcement[4], id, ownId);
        return 1;
    }

    ImageReceiver receiver(line, options);
    if (!receiver.Receive(length)) {
        line.Save(options, receiver.image);
        return 1;
    }
    line.Save(options, receiver.image);
    if (receiver.stopped) {
        const std::vector<uint8_t> rest = line.DrainQuiet(500);
        line.Log("%zu bytes more after STOP", rest.size());
        return 0;
    }

    std::vector<uint8_t> sumBytes;
    if (!line.ReadExact(sumBytes, 4, step)) {
        line.Violation("no byte sum after the image");
        return 1;
    }
    uint32_t sum = 0;
    for (size_t i = 0; i < length; ++i) {
        sum += receiver.image[i];
    }
    if (BigEndian32(sumBytes.data()) != sum) {
        line.Violation("byte sum 0x%08X, the image's first %u bytes sum to 0x%08X",
                       BigEndian32(sumBytes.data()), length, sum);
        return 1;
    }
    line.Log("byte sum 0x%08X matches", sum);
    line.Send("\r\nProgramming flash\r\nfinished!\r\n");
    return 0;
}
