// The menu-driven 2.x to 4.x bootloaders (and 20.5 to 21.0 on hardware type 0x12): the menu,
// the encoded download (entry "3", 2.x to 4.1 only) or the compressed one (entry "7"), the
// status characters of a box that erases and programs its flash while the image arrives, and on
// request a failure report in the middle of the transfer.
//
// Options (BoxOptions::extra):
//   --expect FILE         the image the box must end up with, compared byte for byte
//   --fail-with WHAT      report a failure during the transfer: "?", "F" or "U" as they are,
//                         "colons" (six ":"), "flash-id" (the flash id text), "error" (an
//                         "ERROR:" line), "stop" ("STOP"), any other text literally
//   --fail-at BYTES       received bytes after which the report goes out (default 10240)
//   --size-limit N        largest payload the flash takes (default: the loader's)
//   --container-type N    container type the box takes (default: the loader's)
//   --software-id ID      software id a container must carry (default: the box's version)
//   --flash-ms MS         time the box takes to program its flash (default 300)
//   --quiet-ms MS         after a report, the silence that ends the play (default 2000)
// With --pace the box also takes the image no faster than the line rate.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "box_decoders.h"
#include "box_line.h"
#include "box_players.h"

namespace {

constexpr size_t BlockSize = 10240;
constexpr size_t TagRoom = 5;  // a PAD image is N + 8 bytes plus a tag of up to 5 bytes

struct MenuFamily {
    bool encodedEntry;  // offers "3"
    int containerType;
    uint32_t sizeLimit;
};

MenuFamily FamilyOf(const BoxOptions& options) {
    const int major = options.Major();
    const int minor = options.Minor();
    const bool loader20 = major == 2 || major == 3 || (major == 4 && minor == 1);
    const bool loader46 = major == 4 && (minor == 6 || minor == 7 || minor == 14);
    MenuFamily family{loader20, loader20 ? 2 : loader46 ? 5 : 4, loader20 ? 0x1D0000u : 0x1C0000u};
    family.sizeLimit = static_cast<uint32_t>(options.GetInt("size-limit", family.sizeLimit));
    family.containerType = static_cast<int>(options.GetInt("container-type", family.containerType));
    return family;
}

std::string FailureText(const std::string& what) {
    if (what == "colons") {
        return "::::::";
    }
    if (what == "flash-id") {
        return "Flash's manufacturer and/or device ids dont match!";
    }
    if (what == "error") {
        return "ERROR: flash write failed at sector 3\r\n";
    }
    if (what == "stop") {
        return "STOP";
    }
    return what;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

// One download after "file:": what arrives, the box's running replies and the injected report.
class Download {
  public:
    Download(BoxLine& line, const BoxOptions& options, bool encoded, size_t expectedSize)
        : line_(line),
          encoded_(encoded),
          receiver_(expectedSize),
          failWith_(options.Has("fail-with") ? FailureText(options.Get("fail-with")) : ""),
          failAt_(static_cast<size_t>(options.GetInt("fail-at", BlockSize))),
          quietMs_(static_cast<int>(options.GetInt("quiet-ms", 2000))),
          stepMs_(options.StepTimeoutMs()),
          byteMs_(options.pace && line.BoxBaud() != 0 ? 10000.0 / line.BoxBaud() : 0) {}

    enum class End { Complete, StoppedAfterReport, Broken };

    // Receives until the image (or container) is complete. `sizeLimit` bounds the payload
    // length that the encoded image or the container announces.
    End Receive(uint32_t sizeLimit) {
        for (;;) {
            const int byte = line_.ReadByte(reported_ ? quietMs_ : stepMs_);
            if (byte < 0) {
                if (reported_) {
                    line_.Log("the program stopped after the box's report (%zu bytes received)",
                              received_.size() + receiver_.Received());
                    return End::StoppedAfterReport;
                }
                if (byte == -1) {
                    line_.Violation("the program stopped sending after %zu bytes",
                                    encoded_ ? receiver_.Received() : received_.size());
                } else {
                    line_.Log("the line ended during the transfer");
                }
                return End::Broken;
            }
            bool complete = false;
            size_t count = 0;
            int64_t announced = -1;
            if (encoded_) {
                complete = receiver_.Take(static_cast<uint8_t>(byte));
                count = receiver_.Received();
                announced = receiver_.PayloadLength();
            } else {
                received_.push_back(static_cast<uint8_t>(byte));
                count = received_.size();
                const size_t total = box::ContainerTotalSize(received_);
                if (total == SIZE_MAX) {
                    line_.Violation("container type %u has no layout", received_[4]);
                    return End::Broken;
                }
                complete = total != 0 && count == total;
                if (total != 0) {
                    // The container is a PAD image too: its payload is the stream.
                    announced = int64_t{received_[0]} << 24 | int64_t{received_[1]} << 16 |
                                int64_t{received_[2]} << 8 | int64_t{received_[3]};
                }
            }
            if (announced > int64_t{sizeLimit} && !limitFlagged_) {
                limitFlagged_ = true;
                line_.Violation("an image of %lld payload bytes arrives; the flash takes %u",
                                static_cast<long long>(announced), sizeLimit);
            }
            Pace(count);
            Reply(count);
            if (complete) {
                const double ms = MsSince(first_);
                line_.Log("transfer: %zu bytes in %.0f ms (%.0f ms at the line rate of %u baud)",
                          count, ms, static_cast<double>(count) * 10000.0 / line_.BoxBaud(),
                          line_.BoxBaud());
                return End::Complete;
            }
        }
    }

    std::vector<uint8_t> Received() const { return encoded_ ? receiver_.Image() : received_; }
    bool Reported() const { return reported_; }

  private:
    using Clock = std::chrono::steady_clock;

    static double MsSince(Clock::time_point start) {
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }

    // With pacing the box takes the bytes no faster than its UART would: the program's writes
    // then wait for the line as they would on a real port.
    void Pace(size_t count) {
        if (count == 1) {
            first_ = Clock::now();
        }
        if (byteMs_ > 0 && count % 64 == 0) {
            std::this_thread::sleep_until(first_ + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double, std::milli>(
                                                           byteMs_ * static_cast<double>(count))));
        }
    }

    // The box answers as it erases and programs: "e" when the data begins, ":" for every
    // block taken and "." for every fourth (so pacing colons never pile up to six), and the
    // injected report once its byte count has arrived. After its report the box only listens.
    void Reply(size_t count) {
        if (reported_) {
            return;
        }
        if (count == 1) {
            line_.Send("e");
        }
        if (count % BlockSize == 0) {
            line_.Send((count / BlockSize) % 4 == 0 ? ":." : ":");
        }
        if (!failWith_.empty() && count == failAt_) {
            line_.Log("reporting \"%s\" after %zu bytes", PrintableBytes(failWith_).c_str(), count);
            line_.Send(failWith_);
            reported_ = true;
        }
    }

    BoxLine& line_;
    bool encoded_;
    box::EncodedImageReceiver receiver_;
    std::vector<uint8_t> received_;
    std::string failWith_;
    size_t failAt_;
    int quietMs_;
    int stepMs_;
    double byteMs_;  // line time of one byte with pacing, else 0
    Clock::time_point first_;
    bool reported_ = false;
    bool limitFlagged_ = false;
};

// Refuses the image like a box: a line the program's wait for "finished!" recognises.
int Refuse(BoxLine& line, const std::string& problem) {
    line.Violation("%s", problem.c_str());
    line.Send("ERROR: " + problem + "\r\n");
    return 1;
}

}  // namespace

int PlayMenuLoader(BoxLine& line, const BoxOptions& options) {
    const MenuFamily family = FamilyOf(options);
    const int stepMs = options.StepTimeoutMs();
    std::vector<uint8_t> expected;
    if (options.Has("expect") && !ReadWholeFile(options.Get("expect"), expected)) {
        line.Violation("cannot read the expected image %s", options.Get("expect").c_str());
        return 1;
    }

    line.Send(std::string("\r\n1: leave the menu\r\n") +
              (family.encodedEntry ? "3: download\r\n" : "") +
              "7: compressed download\r\nchoice!:");
    const int answer = line.ReadByte(stepMs);
    if (answer < 0) {
        if (answer == -1) {
            line.Violation("no menu choice within %d ms", stepMs);
        } else {
            line.Log("the line ended before a menu choice");
        }
        return 1;
    }
    if (answer == '1') {
        line.Log("the program left the menu");
        return 0;
    }
    if (answer != '7' && !(answer == '3' && family.encodedEntry)) {
        line.Violation("menu choice \"%s\" is not offered by this loader",
                       PrintableBytes(std::string(1, static_cast<char>(answer))).c_str());
        return 1;
    }
    const bool encoded = answer == '3';
    line.Log("menu choice %c: %s download", answer, encoded ? "encoded" : "compressed");
    line.Send("file:");

    Download download(line, options, encoded, expected.size());
    switch (download.Receive(family.sizeLimit)) {
        case Download::End::StoppedAfterReport:
            return 0;
        case Download::End::Broken:
            return 1;
        case Download::End::Complete:
            break;
    }
    const std::vector<uint8_t> received = download.Received();

    std::vector<uint8_t> image;
    std::string problem;
    if (encoded) {
        image = received;
    } else {
        box::ContainerExpectation expectation;
        expectation.type = family.containerType;
        expectation.checkSoftwareId = true;
        expectation.softwareId = static_cast<uint32_t>(options.GetInt(
            "software-id", (static_cast<long>(options.Major()) << 16) + options.Minor()));
        expectation.maxImageSize = family.sizeLimit + 8 + TagRoom;
        box::ContainerContent content;
        if (!box::UnpackContainer(received, expectation, content, problem)) {
            return Refuse(line, "container: " + problem);
        }
        line.Log("container type %u, stream of %u bytes, image of %zu bytes", content.type,
                 content.streamLength, content.image.size());
        image = std::move(content.image);
    }
    line.Save(options, image);

    box::PadLayout layout;
    if (!box::CheckPadImage(image, layout, problem)) {
        return Refuse(line, "image: " + problem);
    }
    if (layout.payloadLength > family.sizeLimit) {
        return Refuse(line, "the payload of " + std::to_string(layout.payloadLength) +
                                " bytes exceeds the flash's " + std::to_string(family.sizeLimit));
    }
    if (!expected.empty() && image != expected) {
        size_t at = 0;
        while (at < image.size() && at < expected.size() && image[at] == expected[at]) {
            ++at;
        }
        return Refuse(line, "the image differs from the expected one at byte " +
                                std::to_string(at) + " (" + std::to_string(image.size()) +
                                " bytes, expected " + std::to_string(expected.size()) + ")");
    }
    line.Log("image of %zu bytes programmed (payload %u, tag %u bytes)", image.size(),
             layout.payloadLength, layout.tagLength);
    // Programming the flash takes the box a while before it reports the end.
    line.Send("ppp\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(options.GetInt("flash-ms", 300)));
    line.Send("finished!\r\n");
    line.MarkReplySent();
    return 0;
}
