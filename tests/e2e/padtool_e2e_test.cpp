// padtool as a technician runs it: its reports, errors and exit codes, the files it writes, and
// the images it prepares sent by the real update binary to boxsim.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "image/pad_image.h"
#include "tests/support/boxsim_runner.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int ToolLimitMs = 30000;
constexpr int UpdateLimitMs = 120000;

class PadtoolE2eTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = test::TempDir();
        ASSERT_FALSE(dir_.empty());
    }

    // Runs padtool in the test's directory, so that relative names are files there.
    ProcessResult Padtool(const std::vector<std::string>& args) {
        std::vector<std::string> argv{PADTOOL_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, "", ToolLimitMs, {}, dir_);
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    void Write(const std::string& name, const Bytes& bytes) {
        ASSERT_TRUE(test::WriteFileBytes(Path(name), bytes));
    }

    Bytes Read(const std::string& name) const { return test::ReadFileBytes(Path(name)); }

    std::string dir_;
};

bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

int Occurrences(const std::string& text, const std::string& piece) {
    int count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

// A payload whose application signature sits at 0x4000: legacy types A, R and C.
Bytes ApplicationPayload() {
    Bytes payload = test::RandomBytes(0x4100, 21);
    const Bytes signature{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x20, 0x00};
    std::copy(signature.begin(), signature.end(), payload.begin() + 0x4000);
    return payload;
}

// ---- info -----------------------------------------------------------------------------------

TEST_F(PadtoolE2eTest, InfoShowsTheFieldsTablesAndTypeLetters) {
    const Bytes payload = ApplicationPayload();
    Write("legacy.pad", test::MakePad(payload, 5, 0x04, 0x000B0001));
    const ProcessResult r = Padtool({"info", "legacy.pad"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    char sums[80];
    std::snprintf(sums, sizeof sums, "  checksum          0x%08X stored, 0x%08X computed",
                  test::ByteSum(payload), test::ByteSum(payload));
    const std::vector<std::string> lines = {
        "legacy.pad: sound PAD image",
        "  payload length    16640 bytes",
        "  tag length        5 bytes",
        "  hardware type     0x04",
        "  software id       11.1 (0x000B0001)",
        sums,
        "  image length      16648 (payload + 8)",
        "  loader 11.1       no row for this version on hardware type 0x04",
        "  bootloader rows   DownloadLoader42: 4.2 4.3 4.4 4.5 4.8 4.9 4.10 4.15 4.16 4.17 4.18 "
        "4.19 4.20",
        "                    DownloadXmodem: 5.1 5.3",
        "  legacy loader     11.1 (legacy path, compression from 0x00004000)",
        "  legacy types      A R C",
    };
    for (const std::string& line : lines) {
        EXPECT_TRUE(HasLine(r.out, line)) << "missing: " << line << "\nin:\n" << r.out;
    }
}

TEST_F(PadtoolE2eTest, EachBadInputHasItsMessageAndExitCode) {
    const Bytes sound = test::MakePad(test::RandomBytes(500, 1), 5, 0x14, 0x00180004);
    Bytes wrongSum = sound;
    wrongSum.back() ^= 0x01;
    char sumMessage[120];
    std::snprintf(sumMessage, sizeof sumMessage,
                  "wrong checksum: stored 0x%08X, but the payload sums to 0x%08X",
                  ReadBigEndian32(wrongSum.data() + wrongSum.size() - 4),
                  ReadBigEndian32(sound.data() + sound.size() - 4));
    Write("truncated.pad", Bytes(sound.begin(), sound.begin() + 300));
    Write("lost-byte.pad", Bytes(sound.begin(), sound.end() - 1));
    Write("wrong-sum.pad", wrongSum);
    Write("tag3.pad", test::MakePad(Bytes(10, 1), 3, 0x14, 0));
    Write("short.pad", Bytes(8, 0));
    std::filesystem::create_directory(Path("folder.pad"));

    struct Case {
        const char* file;
        std::string error;
    };
    const Case cases[] = {
        {"truncated.pad",
         "not a sound PAD image: truncated or not a PAD image: the length field says 500 "
         "payload bytes, but the file has only 300 bytes in all"},
        {"lost-byte.pad",
         "not a sound PAD image: bad tag length 4: the file has 512 bytes for 500 payload "
         "bytes, which leaves 4 tag bytes; a tag has 0, 1 or 5 bytes (a truncated or extended "
         "image?)"},
        {"wrong-sum.pad", std::string("not a sound PAD image: ") + sumMessage},
        {"tag3.pad",
         "not a sound PAD image: bad tag length 3: the file has 21 bytes for 10 "
         "payload bytes, which leaves 3 tag bytes; a tag has 0, 1 or 5 bytes (a "
         "truncated or extended image?)"},
        {"short.pad",
         "not a sound PAD image: too short: 8 bytes (a PAD image has a 4-byte length, a tag, "
         "the payload and a 4-byte checksum: at least 9 bytes)"},
        {"missing.pad", "cannot open: No such file or directory"},
        {"folder.pad", "cannot read: Is a directory"},
        // A FIFO without a writer: refused at once instead of waiting for ever.
        {"fifo.pad", "not a regular file (a FIFO, a device or a socket)"},
    };
    ASSERT_EQ(mkfifo(Path("fifo.pad").c_str(), 0644), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const ProcessResult r = Padtool({"info", c.file});
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("padtool: ") + c.file + ": " + c.error + "\n");
    }
    const ProcessResult log = Padtool({"log", "fifo.pad"});
    EXPECT_FALSE(log.timedOut);
    EXPECT_EQ(log.exitCode, 1);
    EXPECT_EQ(log.err, "padtool: fifo.pad: not a regular file (a FIFO, a device or a socket)\n");
}

TEST_F(PadtoolE2eTest, OneBadFileAmongGoodOnesFailsTheRun) {
    Write("good.pad", test::MakePad(Bytes(100, 7), 1, 0x12, 0));
    Write("bad.pad", Bytes(5, 0));
    ProcessResult r = Padtool({"info", "good.pad", "bad.pad", "good.pad"});
    EXPECT_EQ(r.exitCode, 1);
    // Both good files are reported; the bad one only on standard error.
    EXPECT_EQ(Occurrences(r.out, "good.pad: sound PAD image\n"), 2) << r.out;
    EXPECT_EQ(Occurrences(r.out, "bad.pad"), 0) << r.out;
    EXPECT_EQ(r.err.find("padtool: bad.pad: not a sound PAD image: too short: 5 bytes"), 0u)
        << r.err;
    r = Padtool({"info", "good.pad", "good.pad"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

// ---- Usage ----------------------------------------------------------------------------------

TEST_F(PadtoolE2eTest, UsageErrorsExitWithTwo) {
    Write("payload.bin", Bytes(64, 1));
    Write("image.pad", test::MakePad(Bytes(64, 1), 5, 0x04, 0x00040002));
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{"info"}, "info needs at least one FILE"},
        {{"info", "--hw", "14", "image.pad"}, "unknown option --hw"},
        {{"make", "payload.bin"}, "no output file: give -o OUT"},
        {{"make", "payload.bin", "-o"}, "option -o needs a value"},
        {{"make", "payload.bin", "other.bin", "-o", "x.pad"}, "make needs exactly one PAYLOAD"},
        {{"make", "--hw", "123", "payload.bin", "-o", "x.pad"}, "--hw wants a hardware type"},
        {{"make", "--sw", "24", "payload.bin", "-o", "x.pad"}, "--sw wants a version X.Y"},
        {{"make", "--tag", "3", "payload.bin", "-o", "x.pad"}, "--tag wants 0, 1 or 5"},
        {{"make", "--tag", "0", "--hw", "14", "payload.bin", "-o", "x.pad"},
         "a 0-byte tag holds neither a hardware type nor a software id"},
        {{"make", "--tag", "1", "--sw", "4.2", "payload.bin", "-o", "x.pad"},
         "a 1-byte tag holds no software id"},
        {{"compress", "image.pad", "-o", "x.pad"}, "compress needs --type 2, 4, 5 or 6"},
        {{"compress", "image.pad", "--type", "3", "-o", "x.pad"}, "--type wants 2, 4, 5 or 6"},
        {{"compress", "image.pad", "--type", "2", "--sw", "4.2", "-o", "x.pad"},
         "a type 2 container carries no software id"},
        {{"hyper", "--tag", "5", "-o", "x.pad"}, "--tag wants 0 (no tag) or 1"},
        {{"hyper", "image.pad", "-o", "x.pad"}, "hyper takes no file operand"},
        {{"hyper"}, "no output file: give -o OUT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        const ProcessResult r = Padtool(c.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find(std::string("padtool: ") + c.message), 0u) << r.err;
        EXPECT_NE(r.err.find("Try 'padtool --help'"), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(Path("x.pad")));
}

TEST_F(PadtoolE2eTest, HelpGoesToStandardOutputAndABareStartToStandardError) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"-h"}, {"help"}, {"make", "--help"}}) {
        const ProcessResult r = Padtool(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.find("usage: padtool info FILE...\n"), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    const ProcessResult r = Padtool({});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find("usage: padtool info FILE...\n"), 0u) << r.err;
}

// ---- make, compress, hyper --------------------------------------------------------------------

TEST_F(PadtoolE2eTest, MakeChoosesTheTagFromTheOptions) {
    const Bytes payload = test::RandomBytes(10241, 5);
    Write("payload.bin", payload);
    struct Case {
        std::vector<std::string> options;
        int tagLength;
        uint8_t hardwareType;
        uint32_t softwareId;
    };
    const Case cases[] = {
        {{"--hw", "14", "--sw", "24.4"}, 5, 0x14, 0x00180004},
        {{"--hw", "0x12"}, 1, 0x12, 0},
        {{}, 0, 0, 0},
        {{"--sw", "0x000B0001"}, 5, 0x00, 0x000B0001},
        {{"--tag", "5", "--hw", "4"}, 5, 0x04, 0},
        {{"--tag", "1"}, 1, 0x00, 0},
        {{"--tag=5", "--sw=4.10", "--hw=7"}, 5, 0x07, 0x0004000A},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        std::vector<std::string> args{"make", "payload.bin", "-o", "made.pad"};
        args.insert(args.begin() + 1, c.options.begin(), c.options.end());
        const ProcessResult r = Padtool(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Read("made.pad"),
                  test::MakePad(payload, c.tagLength, c.hardwareType, c.softwareId));
    }
}

TEST_F(PadtoolE2eTest, AnEmptyPayloadNeedsATag) {
    Write("empty.bin", Bytes{});
    ProcessResult r = Padtool({"make", "empty.bin", "-o", "empty.pad"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.find("padtool: empty.bin: empty; an empty payload needs a tag"), 0u) << r.err;
    EXPECT_FALSE(std::filesystem::exists(Path("empty.pad")));

    r = Padtool({"make", "--hw", "5", "empty.bin", "-o", "empty.pad"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Read("empty.pad"), (Bytes{0, 0, 0, 0, 5, 0, 0, 0, 0}));
    r = Padtool({"info", "empty.pad"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST_F(PadtoolE2eTest, NeverWritesOverItsInput) {
    const Bytes payload = test::RandomBytes(300, 9);
    Write("payload.bin", payload);
    std::filesystem::create_directory(Path("sub"));
    ASSERT_EQ(::link(Path("payload.bin").c_str(), Path("hard.bin").c_str()), 0);
    ASSERT_EQ(::symlink("payload.bin", Path("soft.bin").c_str()), 0);
    const Bytes image = test::MakePad(payload, 5, 0x04, 0x00040002);
    Write("image.pad", image);

    const std::vector<std::vector<std::string>> attempts = {
        {"make", "payload.bin", "-o", "payload.bin"},
        {"make", "payload.bin", "-o", "./sub/../payload.bin"},
        {"make", "payload.bin", "-o", Path("payload.bin")},
        {"make", "payload.bin", "-o", "hard.bin"},
        {"make", "payload.bin", "-o", "soft.bin"},
        {"make", "soft.bin", "-o", "payload.bin"},
        {"compress", "image.pad", "--type", "4", "-o", "image.pad"},
    };
    for (const auto& args : attempts) {
        SCOPED_TRACE(testing::PrintToString(args));
        const ProcessResult r = Padtool(args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find("padtool never writes over its input"), std::string::npos) << r.err;
    }
    EXPECT_EQ(Read("payload.bin"), payload);
    EXPECT_TRUE(std::filesystem::is_symlink(Path("soft.bin")));
    EXPECT_EQ(Read("image.pad"), image);
}

TEST_F(PadtoolE2eTest, HyperIsUpdatesHyperPadAndLeavesTheCurrentDirectoryAlone) {
    // update's own hyper.pad, written in a directory of its own.
    const std::string reference = test::TempDir();
    Bytes expected[2];
    {
        test::ScopedCurrentDir inReference(reference);
        for (int tag : {0, 1}) {
            ASSERT_EQ(WriteHyperPad(tag), 1);
            expected[tag] = test::ReadFileBytes(reference + "/hyper.pad");
        }
    }
    const Bytes sentinel{'k', 'e', 'e', 'p'};
    Write("hyper.pad", sentinel);
    ProcessResult r = Padtool({"hyper", "-o", "plain.pad"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = Padtool({"hyper", "--tag", "1", "-o", "tagged.pad"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Read("plain.pad"), expected[0]);
    EXPECT_EQ(Read("tagged.pad"), expected[1]);
    EXPECT_EQ(Read("hyper.pad"), sentinel);
    r = Padtool({"info", "tagged.pad"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(HasLine(r.out, "  bootloader rows   DownloadLoader17: 1.7 1.9")) << r.out;
}

TEST_F(PadtoolE2eTest, CompressRefusesImagesThatAreNotSound) {
    Bytes bad = test::MakePad(Bytes(100, 3), 5, 0x04, 0x00040002);
    bad[50] ^= 0xFF;
    Write("bad.pad", bad);
    const ProcessResult r = Padtool({"compress", "bad.pad", "--type", "4", "-o", "out.pad"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.find("padtool: bad.pad: not a sound PAD image: wrong checksum"), 0u) << r.err;
    EXPECT_FALSE(std::filesystem::exists(Path("out.pad")));
}

TEST_F(PadtoolE2eTest, TheLoader421CorrectionNeedsTheFittingTag) {
    // Incompressible enough that the trial fails and the image is corrected on every attempt.
    const Bytes payload = test::RandomBytes(200000, 4);
    Write("tag5.pad", test::MakePad(payload, 5, 0x12, 0x00040015));
    Write("tag1.pad", test::MakePad(payload, 1, 0x12, 0));

    ProcessResult r = Padtool({"compress", "tag5.pad", "--type", "4", "-o", "packed.pad"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Problem while downloading data, trying to correct: 10\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("packed.pad: the image was corrected for the 4.21/4.23 loaders"),
              std::string::npos)
        << r.out;
    r = Padtool({"info", "packed.pad"});
    EXPECT_EQ(r.exitCode, 0) << r.err;

    // The correction puts the checksum of the bytes from offset 9 on into the image: wrong for
    // a 1-byte tag, so no container is written.
    r = Padtool({"compress", "tag1.pad", "--type", "4", "--sw", "4.21", "-o", "bad.pad"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.find("padtool: tag1.pad: the container would hold no sound image: the "
                         "correction for the 4.21/4.23 loaders gives an image with a 1-byte tag "
                         "a wrong checksum"),
              0u)
        << r.err;
    EXPECT_NE(r.err.find("a type 4 container wants an image with a 5-byte tag\n"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(Path("bad.pad")));
}

TEST_F(PadtoolE2eTest, InfoChecksTheStreamOfAContainer) {
    const Bytes image = test::MakePad(test::RandomBytes(3000, 2), 5, 0x04, 0x00040002);
    Write("image.pad", image);
    ProcessResult r = Padtool({"compress", "image.pad", "--type", "4", "-o", "packed.pad"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Bytes packed = Read("packed.pad");
    ASSERT_GT(packed.size(), 13u);
    EXPECT_EQ(packed[4], 4);
    EXPECT_EQ(ReadBigEndian32(packed.data() + 5), 0x00040002u);

    r = Padtool({"info", "packed.pad"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(HasLine(r.out, "  compressed        type 4, software id 4.2 (0x00040002)"))
        << r.out;
    EXPECT_TRUE(HasLine(r.out, "  decompressed      3013 bytes")) << r.out;
    EXPECT_TRUE(HasLine(r.out,
                        "  holds             sound PAD image: payload 3000 bytes, tag 5 bytes, "
                        "hardware type 0x04, software id 4.2 (0x00040002)"))
        << r.out;

    // A stream cut short inside a PAD image with a fresh checksum: sound as PAD, bad as a
    // container.
    const Bytes stream(packed.begin() + 9, packed.end() - 4);
    Write("cut.pad", test::MakePad(Bytes(stream.begin(), stream.end() - 20), 5, 0x04, 0x00040002));
    r = Padtool({"info", "cut.pad"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "padtool: cut.pad: a compressed container whose stream is bad: the bzip2 stream is "
              "cut short\n");
}

// ---- Against the box --------------------------------------------------------------------------

struct RoundTrip {
    const char* version;
    const char* hardwareType;  // for boxsim
    std::vector<std::string> makeOptions;
    const char* loaderLine;  // what info says about the image's own version
};

TEST_F(PadtoolE2eTest, MadeImagesPassInfoAndUpdateTheBox) {
    const RoundTrip cases[] = {
        {"24.4",
         "0x14",
         {"--hw", "14", "--sw", "24.4"},
         "  loader 24.4       StreamingDownload (row parameter 0)"},
        {"5.1",
         "0x04",
         {"--hw", "04", "--sw", "5.1"},
         "  loader 5.1        DownloadXmodem (row parameter 0)"},
    };
    Write("payload.bin", test::RandomBytes(30000, 77));
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.version);
        std::vector<std::string> make{"make", "payload.bin", "-o", "box.pad"};
        make.insert(make.begin() + 1, c.makeOptions.begin(), c.makeOptions.end());
        ProcessResult r = Padtool(make);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        r = Padtool({"info", "box.pad"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(HasLine(r.out, c.loaderLine)) << r.out;

        std::filesystem::remove(Path("received.pad"));
        BoxSim box;
        ASSERT_TRUE(box.Start(
            {"--version", c.version, "--hw", c.hardwareType, "--save", Path("received.pad")}))
            << box.Log();
        r = RunProcess({UPDATE_BINARY, Path("box.pad")}, "", UpdateLimitMs, {box.ComEnv(1)});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err << box.Log();
        EXPECT_EQ(box.Wait(10000), 0) << box.Log();
        EXPECT_EQ(Read("received.pad"), Read("box.pad"));
    }
}

struct CompressedCase {
    const char* version;
    const char* hardwareType;
    std::vector<std::string> makeOptions;
    const char* type;
};

TEST_F(PadtoolE2eTest, CompressedImagesAreTakenByTheMenuLoaders) {
    const CompressedCase cases[] = {
        {"4.2", "0x04", {"--hw", "04", "--sw", "4.2"}, "4"},
        {"4.6", "0x05", {"--hw", "05", "--sw", "4.6"}, "5"},
        {"2.0", "0x02", {"--hw", "02"}, "2"},
    };
    // Compressible but not trivial: repeated random blocks.
    Bytes payload;
    const Bytes block = test::RandomBytes(4096, 8);
    for (int i = 0; i < 40; ++i) {
        payload.insert(payload.end(), block.begin(), block.end());
    }
    Write("payload.bin", payload);
    for (const CompressedCase& c : cases) {
        SCOPED_TRACE(c.version);
        std::vector<std::string> make{"make", "payload.bin", "-o", "image.pad"};
        make.insert(make.begin() + 1, c.makeOptions.begin(), c.makeOptions.end());
        ProcessResult r = Padtool(make);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        r = Padtool({"compress", "image.pad", "--type", c.type, "-o", "packed.pad"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        r = Padtool({"info", "packed.pad"});
        ASSERT_EQ(r.exitCode, 0) << r.err;

        // update -2 sends padtool's container; update -c compresses the image itself. The box
        // decompresses both and must find the image that was made.
        for (const char* option : {"-2", "-c"}) {
            SCOPED_TRACE(option);
            const std::string file = std::string(option) == "-2" ? "packed.pad" : "image.pad";
            std::filesystem::remove(Path("received.pad"));
            BoxSim box;
            ASSERT_TRUE(box.Start({"--version", c.version, "--hw", c.hardwareType, "--expect",
                                   Path("image.pad"), "--save", Path("received.pad")}))
                << box.Log();
            r = RunProcess({UPDATE_BINARY, option, Path(file)}, "", UpdateLimitMs, {box.ComEnv(1)});
            EXPECT_EQ(r.exitCode, 0) << r.out << r.err << box.Log();
            EXPECT_EQ(box.Wait(10000), 0) << box.Log();
            EXPECT_EQ(Read("received.pad"), Read("image.pad"));
        }
    }
}

}  // namespace
