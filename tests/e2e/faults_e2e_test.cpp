// Faults from the box and the line, end to end: the real program against boxsim with line
// noise, lost bytes, long silences, NAK and CAN storms, a box that floods the program with
// text, "ERROR:" lines at every wait, and the line pulled in the middle of a transfer.
//
// Whatever happens, the program must either complete (and then the box has the image, byte for
// byte) or end with exit code 1 and the message that belongs to the failure; it must end within
// the time the protocol's limits allow, never crash, and never change the image file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/boxsim_runner.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"
#include "tools/boxsim/box_faults.h"
#include "tools/boxsim/box_line.h"
#include "tools/boxsim/box_options.h"

namespace {

const std::string OkLine = "Download successfully finished. (com port: 1)";
const std::string WaitBufferFull = "WaitFor error  536870913\n";
const std::string BoxErrorText = "WaitFor error  536870919\n";
const std::string ErrorShown = "\n\nERROR: line fault\r\n\n\n";
const std::string StillTrying = "Cannot send data to box, still trying.\n";
const std::string ReadFailed = "Error during read from COM1\n";
const std::string WriteFailed = "Error during write to COM\n";
const std::string UpdateFailed = "error updating image\n";

// A bootloader family: how boxsim plays it and the image it takes.
struct Family {
    const char* name;
    std::vector<std::string> box;
    uint8_t hardwareType;
    uint32_t softwareId;
    bool legacy;  // the payload needs the application mark of the legacy loaders
    bool saves;   // boxsim --save writes the image as received
};

const Family Streaming{"24.4", {"--version", "24.4", "--hw", "0x14"}, 0x14, 0x00180004, false,
                       true};
const Family Menu{"4.2", {"--version", "4.2", "--hw", "4"}, 4, 0x00040002, false, false};
const Family Hyper{"1.4", {"--version", "1.4", "--hw", "0"}, 0, 0x00010004, false, true};
const Family Loader412{"4.12", {"--version", "4.12", "--hw", "7"}, 7, 0x0004000C, false, true};
const Family Xmodem{"5.3", {"--version", "5.3", "--hw", "4"}, 4, 0x00050003, false, false};
const Family Legacy{"11.1", {"--version", "11.1", "--hw", "4"}, 4, 0x000B0001, true, false};

enum class Expect { Completes, Fails, CompletesOrFails };

struct FaultCase {
    const char* name;
    const Family* family;
    std::vector<std::string> faults;  // boxsim options
    Expect expect;
    // On failure, the output (standard output and error together) holds every text of
    // `failureTexts`, or one of `anyFailureText` when that is not empty.
    std::vector<std::string> failureTexts;
    std::vector<std::string> anyFailureText;
    int limitSeconds;             // the program must have ended by then
    std::string outputText = "";  // a text that must appear whatever the outcome
    // Bit errors on the line: two errors that cancel out within one 128-byte block pass both the
    // block's 8-bit sum and the image's byte sum, so neither the box nor the program can see
    // them. Such an image may be reported as a success; any other difference may not.
    bool bitErrors = false;
};

std::vector<uint8_t> Payload(const Family& family, size_t size) {
    std::vector<uint8_t> payload = test::RandomBytes(size, family.softwareId);
    if (family.legacy) {
        // The legacy loaders take an application image only with its mark at 0x4000.
        const uint8_t mark[] = {0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x20, 0x00};
        std::copy(std::begin(mark), std::end(mark), payload.begin() + 0x4000);
    }
    return payload;
}

long long ModifiedNs(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return -1;
    }
    return static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
}

// True when `got` differs from `want` only in ways that the X-modem block sums (8 bits, per
// 128 bytes) and the image's byte sum cannot see; counts the bytes that differ.
bool OnlyUndetectableDifferences(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want,
                                 size_t& differing) {
    differing = 0;
    if (got.size() != want.size()) {
        return false;
    }
    uint32_t imageDelta = 0;
    for (size_t block = 0; block < got.size(); block += 128) {
        uint8_t blockDelta = 0;
        for (size_t i = block; i < got.size() && i < block + 128; ++i) {
            differing += got[i] != want[i] ? 1 : 0;
            blockDelta = static_cast<uint8_t>(blockDelta + got[i] - want[i]);
            imageDelta += static_cast<uint32_t>(got[i]) - want[i];
        }
        if (blockDelta != 0) {
            return false;
        }
    }
    return imageDelta == 0;
}

// Where two byte strings first differ, for the failure message.
std::string FirstDifference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) {
        ++at;
    }
    if (at == got.size() && at == want.size()) {
        return "equal";
    }
    std::string text = std::to_string(got.size()) + " bytes against " +
                       std::to_string(want.size()) + ", first difference at " + std::to_string(at);
    for (size_t i = at; i < got.size() && i < want.size() && i < at + 132; ++i) {
        if (got[i] != want[i]) {
            text += " [" + std::to_string(i) + "] " + std::to_string(got[i]) +
                    "!=" + std::to_string(want[i]);
        }
    }
    return text;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class LineFaultE2E : public ::testing::TestWithParam<FaultCase> {};

TEST_P(LineFaultE2E, EndsAsSpecifiedWithinItsLimitAndLeavesTheImageAlone) {
    const FaultCase& c = GetParam();
    const Family& family = *c.family;
    const std::string dir = test::TempDir();
    const std::string imagePath = dir + "/image.pad";
    const std::string received = dir + "/received.pad";
    const std::vector<uint8_t> image =
        test::MakePad(Payload(family, 40000), 5, family.hardwareType, family.softwareId);
    ASSERT_TRUE(test::WriteFileBytes(imagePath, image));
    const long long modified = ModifiedNs(imagePath);

    std::vector<std::string> boxArgs = family.box;
    boxArgs.insert(boxArgs.end(), {"--step-timeout", "5000", "--save", received});
    boxArgs.insert(boxArgs.end(), c.faults.begin(), c.faults.end());
    BoxSim box;
    ASSERT_TRUE(box.Start(boxArgs)) << box.Log();

    const auto start = std::chrono::steady_clock::now();
    const ProcessResult result = RunProcess({UPDATE_BINARY, "-p", "1", imagePath}, "",
                                            c.limitSeconds * 1000, {box.ComEnv(1)}, dir);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int boxStatus = box.Wait(15000);
    if (boxStatus < 0) {
        boxStatus = box.Stop();
    }
    const std::string output = result.out + result.err;
    const std::string story = "exit " + std::to_string(result.exitCode) + " after " +
                              std::to_string(seconds) + " s\n--- out:\n" + result.out +
                              "\n--- err:\n" + result.err + "\n--- boxsim:\n" + box.Log();
    RecordProperty("seconds", std::to_string(seconds));
    RecordProperty("exit", result.exitCode);
    std::string lastWords = result.exitCode == 0 ? OkLine : result.err;
    if (lastWords.empty()) {
        // The legacy path reports on standard output; its last line is the verdict.
        lastWords = result.out.substr(0, result.out.find_last_not_of('\n') + 1);
        lastWords = lastWords.substr(lastWords.find_last_of('\n') + 1);
    }
    std::printf("[ outcome  ] %s: exit %d after %.1f s: %s\n", c.name, result.exitCode, seconds,
                lastWords.substr(0, lastWords.find('\n')).c_str());

    ASSERT_FALSE(result.timedOut) << "still running after " << c.limitSeconds << " s\n" << story;
    ASSERT_TRUE(result.exitCode == 0 || result.exitCode == 1) << story;
    EXPECT_EQ(test::ReadFileBytes(imagePath), image) << "the image file was changed";
    EXPECT_EQ(ModifiedNs(imagePath), modified) << "the image file was written";
    if (!c.outputText.empty()) {
        EXPECT_TRUE(Contains(output, c.outputText)) << story;
    }

    if (result.exitCode == 0) {
        EXPECT_NE(c.expect, Expect::Fails) << story;
        // Success is only ever reported for an image the box holds as it was sent.
        EXPECT_TRUE(Contains(result.out, OkLine)) << story;
        EXPECT_EQ(boxStatus, 0) << story;
        if (family.saves) {
            const std::vector<uint8_t> got = test::ReadFileBytes(received);
            size_t differing = 0;
            if (c.bitErrors && got != image && OnlyUndetectableDifferences(got, image, differing)) {
                std::printf(
                    "[ outcome  ] %s: %zu bytes changed by bit errors that cancel out "
                    "within their block reached the box unseen\n",
                    c.name, differing);
            } else {
                EXPECT_TRUE(got == image) << FirstDifference(got, image) << "\n" << story;
            }
        }
        return;
    }
    EXPECT_NE(c.expect, Expect::Completes) << story;
    EXPECT_FALSE(Contains(result.out, OkLine)) << story;
    for (const std::string& text : c.failureTexts) {
        EXPECT_TRUE(Contains(output, text)) << "missing \"" << text << "\"\n" << story;
    }
    if (!c.anyFailureText.empty()) {
        bool found = false;
        for (const std::string& text : c.anyFailureText) {
            found = found || Contains(output, text);
        }
        EXPECT_TRUE(found) << "none of the failure messages\n" << story;
    }
}

// The transfer of the streaming loaders has no time limit: a box that is gone without hanging
// up leaves the program waiting. Every other way a streaming update can end is covered here.
const std::vector<std::string> StreamingLineGone = {ReadFailed, WriteFailed, "WaitFor error  995"};

INSTANTIATE_TEST_SUITE_P(
    Streaming, LineFaultE2E,
    ::testing::Values(
        // Garbled blocks are refused by the box and sent again; a garbled reply of the box can
        // leave both sides waiting until the box gives up and hangs up.
        FaultCase{"NoiseToTheBox",
                  &Streaming,
                  {"--noise-rate", "0.0005", "--noise-dir", "to-box", "--faults-from", "200"},
                  Expect::CompletesOrFails,
                  {},
                  StreamingLineGone,
                  60,
                  "",
                  true},
        FaultCase{"NoiseBothWays",
                  &Streaming,
                  {"--noise-rate", "0.0005", "--faults-from", "200", "--fault-seed", "7"},
                  Expect::CompletesOrFails,
                  {},
                  StreamingLineGone,
                  60,
                  "",
                  true},
        FaultCase{"LostBytes",
                  &Streaming,
                  {"--drop-rate", "0.0005", "--drop-dir", "both", "--faults-from", "200"},
                  Expect::CompletesOrFails,
                  {},
                  StreamingLineGone,
                  60},
        // The sender waits as long as the box is silent and says so every 5 s.
        FaultCase{"LongSilence",
                  &Streaming,
                  {"--silence-after", "20000", "--silence-ms", "11000"},
                  Expect::Completes,
                  {},
                  {},
                  60,
                  StillTrying + StillTrying},
        FaultCase{"NakStorm", &Streaming, {"--nak-storm", "20"}, Expect::Completes, {}, {}, 120},
        FaultCase{"CanStorm",
                  &Streaming,
                  {"--nak-storm", "20", "--nak-as-can"},
                  Expect::Completes,
                  {},
                  {},
                  120},
        // "granted" is awaited for 1000 ms only and its failure ignored: the update goes on.
        FaultCase{"FloodBeforeGranted",
                  &Streaming,
                  {"--flood-before", "granted"},
                  Expect::Completes,
                  {},
                  {},
                  60},
        FaultCase{"FloodBeforePrompt",
                  &Streaming,
                  {"--flood-before", "Now start download"},
                  Expect::Fails,
                  {WaitBufferFull},
                  {},
                  30},
        FaultCase{"FloodBeforeFinished",
                  &Streaming,
                  {"--flood-before", "finished!"},
                  Expect::Fails,
                  {WaitBufferFull},
                  {},
                  30},
        FaultCase{"ErrorForGranted",
                  &Streaming,
                  {"--error-instead", "granted"},
                  Expect::Completes,
                  {},
                  {},
                  60,
                  ErrorShown},
        FaultCase{"ErrorForPrompt",
                  &Streaming,
                  {"--error-instead", "Now start download"},
                  Expect::Fails,
                  {ErrorShown, BoxErrorText},
                  {},
                  30},
        FaultCase{"ErrorForFinished",
                  &Streaming,
                  {"--error-instead", "finished!"},
                  Expect::Fails,
                  {ErrorShown, BoxErrorText},
                  {},
                  30},
        FaultCase{"LinePulledMidTransfer",
                  &Streaming,
                  {"--hangup-after", "20000"},
                  Expect::Fails,
                  {},
                  StreamingLineGone,
                  30}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

INSTANTIATE_TEST_SUITE_P(
    MenuLoaders, LineFaultE2E,
    ::testing::Values(
        FaultCase{"Menu42ErrorForChoice",
                  &Menu,
                  {"--error-instead", "choice!:"},
                  Expect::Fails,
                  {ErrorShown, BoxErrorText},
                  {},
                  30},
        FaultCase{"Menu42ErrorForFile",
                  &Menu,
                  {"--error-instead", "file:"},
                  Expect::Fails,
                  {ErrorShown, BoxErrorText},
                  {},
                  30},
        FaultCase{"Menu42ErrorForFinished",
                  &Menu,
                  {"--error-instead", "finished!"},
                  Expect::Fails,
                  {ErrorShown, BoxErrorText},
                  {},
                  30},
        FaultCase{"Menu42FloodBeforeChoice",
                  &Menu,
                  {"--flood-before", "choice!:"},
                  Expect::Fails,
                  {WaitBufferFull},
                  {},
                  30},
        // The block transfer reports a device gone during a read or write as a fatal error.
        FaultCase{"Menu42LinePulledMidTransfer",
                  &Menu,
                  {"--hangup-after", "20000"},
                  Expect::Fails,
                  {"Fatal error "},
                  {},
                  30},
        FaultCase{"Hyper14ErrorForChoice",
                  &Hyper,
                  {"--error-instead", "choice!:"},
                  Expect::Fails,
                  {ErrorShown, BoxErrorText},
                  {},
                  60},
        FaultCase{"Hyper14ErrorForFile",
                  &Hyper,
                  {"--error-instead", "file:"},
                  Expect::Fails,
                  {ErrorShown, BoxErrorText},
                  {},
                  60},
        FaultCase{"Hyper14ErrorForFinished",
                  &Hyper,
                  {"--error-instead", "finished!"},
                  Expect::Fails,
                  {ErrorShown, BoxErrorText},
                  {},
                  60},
        FaultCase{"Loader412ErrorForChoice",
                  &Loader412,
                  {"--error-instead", "choice!:"},
                  Expect::Fails,
                  {ErrorShown, BoxErrorText},
                  {},
                  60},
        FaultCase{"Loader412ErrorForFile",
                  &Loader412,
                  {"--error-instead", "file:"},
                  Expect::Fails,
                  {ErrorShown, BoxErrorText},
                  {},
                  60},
        FaultCase{"Loader412ErrorForFinished",
                  &Loader412,
                  {"--error-instead", "finished!"},
                  Expect::Fails,
                  {ErrorShown, BoxErrorText},
                  {},
                  60},
        FaultCase{"Xmodem53ErrorForPrompt",
                  &Xmodem,
                  {"--error-instead", "Please start transfer with X modem protocol."},
                  Expect::Fails,
                  {ErrorShown, BoxErrorText},
                  {},
                  30},
        FaultCase{"Xmodem53CanStorm",
                  &Xmodem,
                  {"--nak-storm", "5", "--nak-as-can"},
                  Expect::Completes,
                  {},
                  {},
                  60},
        FaultCase{"Xmodem53LinePulledMidTransfer",
                  &Xmodem,
                  {"--hangup-after", "20000"},
                  Expect::Fails,
                  {},
                  {ReadFailed, WriteFailed},
                  30}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// The legacy loaders acknowledge every packet within 1000 ms and repeat a refused one up to 50
// times, so noise, losses and a pulled line end the update within seconds.
INSTANTIATE_TEST_SUITE_P(
    LegacyLoaders, LineFaultE2E,
    ::testing::Values(FaultCase{"Legacy111NoiseBothWays",
                                &Legacy,
                                {"--noise-rate", "0.0005", "--faults-from", "200"},
                                Expect::CompletesOrFails,
                                {UpdateFailed},
                                {},
                                120},
                      FaultCase{"Legacy111LostBytes",
                                &Legacy,
                                {"--drop-rate", "0.0005", "--faults-from", "200"},
                                Expect::CompletesOrFails,
                                {UpdateFailed},
                                {},
                                120},
                      FaultCase{"Legacy111SilenceAtAPacket",
                                &Legacy,
                                {"--silence-after", "5000", "--silence-ms", "3000"},
                                Expect::CompletesOrFails,
                                {UpdateFailed},
                                {},
                                120},
                      FaultCase{"Legacy111LinePulledMidTransfer",
                                &Legacy,
                                {"--hangup-after", "5000"},
                                Expect::Fails,
                                {UpdateFailed},
                                {},
                                60}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

}  // namespace

// ---- The fault layer itself, in process: the scenarios above mean something only if the
// faults do what their options say.

namespace {

BoxOptions FaultOptions(std::map<std::string, std::string> extra) {
    BoxOptions options;
    options.extra = std::move(extra);
    return options;
}

TEST(LineFaultLayer, NoOptionsMeanACleanLineAndNonsenseIsRefused) {
    EXPECT_EQ(MakeLineFaults(FaultOptions({{"nak-storm", "3"}})), nullptr);
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"noise-rate", "1.5"}, {"drop-rate", "-0.1"}, {"noise-dir", "sideways"}}) {
        const auto faults = MakeLineFaults(FaultOptions({{name, value}}));
        ASSERT_NE(faults, nullptr) << name;
        EXPECT_FALSE(faults->Valid()) << name << " " << value;
    }
}

TEST(LineFaultLayer, TextsOfTheBoxAreReplacedFloodedAndNaksTurnedIntoCans) {
    BoxLine line;
    auto faults = MakeLineFaults(FaultOptions({{"error-instead", "file:"},
                                               {"flood-before", "finished!"},
                                               {"flood-bytes", "10239"},
                                               {"nak-as-can", "1"}}));
    ASSERT_NE(faults, nullptr);
    ASSERT_TRUE(faults->Valid());

    std::string text = "\r\nfile:";
    faults->ToProgram(line, text);
    EXPECT_EQ(text, "ERROR: line fault\r\n");
    text = "choice!:";
    faults->ToProgram(line, text);
    EXPECT_EQ(text, "choice!:");

    text = "\r\nfinished!\r\n";
    faults->ToProgram(line, text);
    ASSERT_EQ(text.size(), 10239u + 13u);
    const std::string flood = text.substr(0, 10239);
    EXPECT_EQ(text.substr(10239), "\r\nfinished!\r\n");
    EXPECT_EQ(flood.find_first_of(std::string("\n\r\0", 3)), std::string::npos);
    EXPECT_EQ(flood.find("ERROR:"), std::string::npos);
    text = "finished!";
    faults->ToProgram(line, text);
    EXPECT_EQ(text, "finished!") << "the flood comes once";

    text = std::string("\x15\x06\x15", 3);
    faults->ToProgram(line, text);
    EXPECT_EQ(text, std::string("\x18\x06\x18", 3));
}

TEST(LineFaultLayer, NoiseAndLossesHitOnlyTheirDirectionFromTheirByteOn) {
    BoxLine line;
    auto noise = MakeLineFaults(
        FaultOptions({{"noise-rate", "1"}, {"noise-dir", "to-box"}, {"faults-from", "3"}}));
    for (int byte : {0x00, 0x41}) {
        EXPECT_EQ(noise->FromProgram(line, static_cast<uint8_t>(byte), 0), byte);  // bytes 1, 2
    }
    for (int i = 0; i < 64; ++i) {
        const int got = noise->FromProgram(line, 0x5A, 0);
        ASSERT_GE(got, 0);
        EXPECT_EQ(__builtin_popcount(static_cast<unsigned>(got ^ 0x5A)), 1) << "one bit flipped";
    }
    std::string fromBox = "granted";
    noise->ToProgram(line, fromBox);
    EXPECT_EQ(fromBox, "granted");

    auto losses = MakeLineFaults(FaultOptions({{"drop-rate", "1"}, {"drop-dir", "to-program"}}));
    EXPECT_EQ(losses->FromProgram(line, 0x41, 0), 0x41);
    fromBox = "granted";
    losses->ToProgram(line, fromBox);
    EXPECT_EQ(fromBox, "");

    // The same seed garbles the same bytes.
    auto first = MakeLineFaults(FaultOptions({{"noise-rate", "0.3"}, {"fault-seed", "9"}}));
    auto second = MakeLineFaults(FaultOptions({{"noise-rate", "0.3"}, {"fault-seed", "9"}}));
    int garbled = 0;
    for (int i = 0; i < 1000; ++i) {
        const int a = first->FromProgram(line, static_cast<uint8_t>(i), 0);
        ASSERT_EQ(a, second->FromProgram(line, static_cast<uint8_t>(i), 0));
        garbled += a != (i & 0xFF) ? 1 : 0;
    }
    EXPECT_GT(garbled, 200);
    EXPECT_LT(garbled, 400);
}

TEST(LineFaultLayer, TheLineIsPulledAtTheByteAsked) {
    BoxLine line;
    auto faults = MakeLineFaults(FaultOptions({{"hangup-after", "3"}}));
    EXPECT_EQ(faults->FromProgram(line, 1, 0), 1);
    EXPECT_EQ(faults->FromProgram(line, 2, 0), 2);
    EXPECT_FALSE(line.Ended());
    EXPECT_EQ(faults->FromProgram(line, 3, 0), -1);
    EXPECT_TRUE(line.Ended());
}

}  // namespace
