// The command line as a user meets it: the real program started under various names, with its
// standard output, standard error and exit code compared exactly. Only start-up paths that end
// before an update session are run here.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/settings.h"
#include "frontend/startup.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

// Short enough for a hanging program to fail the test quickly; start-up takes milliseconds.
constexpr int TimeLimitMs = 20000;

std::string Message(int lang, int number) {
    return MessageCatalog[static_cast<std::size_t>(lang * MessageCount + number)];
}

// The usage text as PrintUsage writes it (checked byte for byte by the unit tests).
std::string Usage(int lang, int service) {
    std::fflush(stderr);
    testing::internal::CaptureStderr();
    PrintUsage(lang, service);
    std::fflush(stderr);
    return testing::internal::GetCapturedStderr();
}

// The listing as PrintVersionListing writes it for this name, language and form.
std::string Listing(const char* programName, int lang, int standardForm) {
    const int saved = language;
    language = lang;
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    PrintVersionListing(2, 16, programName, standardForm);
    std::fflush(stdout);
    language = saved;
    return testing::internal::GetCapturedStdout();
}

std::string EnterPrompt(int lang) {
    return Message(lang, 33) + " -> ENTER\n";
}

class StartUpE2eTest : public testing::Test {
  protected:
    void SetUp() override { dir_ = test::TempDir(); }

    // Runs the program through a link named `name` in a fresh directory, so that it sees
    // exactly that name, the way a user who renamed or linked it would start it.
    ProcessResult Run(const std::string& name, const std::vector<std::string>& args,
                      const std::string& input = "", bool closeStdin = true,
                      int timeoutMs = TimeLimitMs) {
        const std::string link = dir_ + "/" + name;
        if (!std::filesystem::exists(link)) {
            std::filesystem::create_symlink(UPDATE_BINARY, link);
        }
        std::vector<std::string> argv{link};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessOptions options;
        options.stdinText = input;
        options.closeStdin = closeStdin;
        options.timeoutMs = timeoutMs;
        options.workDir = dir_;
        return RunProcessAs(link, argv, options);
    }

    std::string dir_;
};

void ExpectOutcome(const ProcessResult& r, int exitCode, const std::string& out,
                   const std::string& err) {
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, exitCode);
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
}

TEST_F(StartUpE2eTest, BareStartPrintsTheUsageOfTheLanguage) {
    ExpectOutcome(RunProcess({UPDATE_BINARY}), 1, "", Usage(0, 0));
    ExpectOutcome(RunProcess({AKTUALISIEREN_BINARY}), 1, "", Usage(1, 0));
    ExpectOutcome(Run("flash.exe", {}), 1, "", Usage(0, 0));
    ExpectOutcome(Run("Update2", {}), 1, "", Usage(0, 0));
}

TEST_F(StartUpE2eTest, ServiceModeFailureWaitsForEnter) {
    ExpectOutcome(Run("VKMupdate", {}, "\n"), 1, EnterPrompt(0), Usage(0, 1));
    ExpectOutcome(Run("vkmaktualisieren.exe", {}, "\n"), 1, EnterPrompt(1), Usage(1, 1));
}

TEST_F(StartUpE2eTest, ServiceModeKeepsWaitingUntilEnterIsPressed) {
    // Standard input stays open and empty: the program must still be waiting, with the prompt
    // already visible.
    const ProcessResult waiting = Run("VKMupdate", {"-P"}, "", /*closeStdin=*/false, 1500);
    EXPECT_TRUE(waiting.timedOut);
    EXPECT_EQ(waiting.out, EnterPrompt(0));
    EXPECT_EQ(waiting.err, "-P " + Message(0, 1) + " \n\n" + Usage(0, 1));

    // Outside service mode nothing is awaited.
    const ProcessResult plain = Run("update", {"-P"}, "", /*closeStdin=*/false, TimeLimitMs);
    ExpectOutcome(plain, 1, "", "-P is an invalid option \n\n" + Usage(0, 0));
}

TEST_F(StartUpE2eTest, VersionListingEndsTheProgramBeforeLaterOptions) {
    ExpectOutcome(Run("Update2", {"-V", "-q"}), 0, Listing("Update2", 0, 1), "");
    ExpectOutcome(Run("update", {"-q", "-V"}), 1, "", "-q is an invalid option \n\n" + Usage(0, 0));
    // No wait for ENTER after a listing in service mode: it is no failure.
    ExpectOutcome(Run("VKMupdate", {"-i", "-V", "image.pad"}), 0, Listing("update", 0, 0), "");
}

TEST_F(StartUpE2eTest, VersionListingUnderAWindowsPathInServiceMode) {
    // The name as a Windows console passes it: directories and the prefix are dropped, the
    // extension and case are kept.
    ProcessOptions options;
    options.timeoutMs = TimeLimitMs;
    const ProcessResult r =
        RunProcessAs(UPDATE_BINARY, {"C:\\tools\\VKMaktualisieren.exe", "-V"}, options);
    ExpectOutcome(r, 0, Listing("aktualisieren.exe", 1, 0), "");
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "aktualisieren.exe 2.16");
}

TEST_F(StartUpE2eTest, OptionLettersAreCaseSensitive) {
    ExpectOutcome(Run("update", {"-P", "image.pad"}), 1, "",
                  "-P is an invalid option \n\n" + Usage(0, 0));
    ExpectOutcome(Run("aktualisieren", {"-v"}), 1, "",
                  "-v ist ein ungueltiger Parameter \n\n" + Usage(1, 0));
}

TEST_F(StartUpE2eTest, OptionsOfTheWrongLengthAreBadSyntax) {
    ExpectOutcome(Run("update", {"-pp", "image.pad"}), 1, "",
                  "Bad Syntax of parameter:  -pp\n\n" + Usage(0, 0));
    ExpectOutcome(Run("update", {"-", "image.pad"}), 1, "",
                  "Bad Syntax of parameter:  -\n\n" + Usage(0, 0));
    ExpectOutcome(Run("aktualisieren", {"-l", "--help"}), 1, "",
                  "Die Syntax des Parameters ist falsch:  --help\n\n" + Usage(1, 0));
}

TEST_F(StartUpE2eTest, PortOutsideOneToFourIsRejectedWithoutUsage) {
    // The line after message 0 says how a port is named.
    const std::string hint =
        "The port is given as -p 1 to -p 4; COM1 to COM4 name the devices, for example "
        "COM2=/dev/ttyUSB0.\n";
    struct Case {
        const char* value;
        const char* err;
    };
    const Case cases[] = {
        {"0", "Invalid Port: 0\n"},   {"x", "Invalid Port: 0\n"}, {"5", "Invalid Port: 5\n"},
        {"-1", "Invalid Port: -1\n"}, {"", "Invalid Port: 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ExpectOutcome(Run("update", {"-p", c.value, "image.pad"}), 1, "", c.err + hint);
    }
    ExpectOutcome(Run("aktualisieren", {"-p", "7", "image.pad"}), 1, "",
                  "Falsche serielle Schnittstelle ausgewaehlt: 7\n"
                  "Die Schnittstelle wird mit -p 1 bis -p 4 angegeben; COM1 bis COM4 nennen die "
                  "Geraete, zum Beispiel COM2=/dev/ttyUSB0.\n");
    ExpectOutcome(Run("VKMupdate", {"-p", "0", "image.pad"}, "\n"), 1, EnterPrompt(0),
                  "Invalid Port: 0\n" + hint);
}

TEST_F(StartUpE2eTest, OptionMissingItsValueIsBadSyntax) {
    ExpectOutcome(Run("update", {"-p"}), 1, "", "Bad Syntax of parameter:  -p\n\n" + Usage(0, 0));
    ExpectOutcome(Run("update", {"-l", "-t"}), 1, "",
                  "Bad Syntax of parameter:  -t\n\n" + Usage(0, 0));
    ExpectOutcome(Run("VKMaktualisieren", {"-p"}, "\n"), 1, EnterPrompt(1),
                  "Die Syntax des Parameters ist falsch:  -p\n\n" + Usage(1, 1));
}

TEST_F(StartUpE2eTest, OptionsWithoutAnImageNamePrintTheUsage) {
    ExpectOutcome(Run("update", {"-l", "-w"}), 1, "", Usage(0, 0));
    ExpectOutcome(Run("update", {"-s"}), 1, "", Usage(0, 0));
    ExpectOutcome(Run("update", {"-p", "2", "-t", "B"}), 1, "", Usage(0, 0));
}

// An option put last would leave the update on another port than the one named: anything
// after the image name (or the -s method name) is refused before any file or port is opened.
TEST_F(StartUpE2eTest, ArgumentsAfterTheImageNameAreRefused) {
    const std::string english =
        "Options go before the image name, and nothing may follow it; "
        "found after it:";
    const std::string german =
        "Optionen stehen vor dem Dateinamen, und danach darf nichts "
        "folgen; dahinter steht:";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {"update", {"image.pad", "-p", "2"}, "", english + " -p 2\n\n" + Usage(0, 0)},
        {"update",
         {"-l", "image.pad", "-p", "9", "-P", "-pp"},
         "",
         english + " -p 9 -P -pp\n\n" + Usage(0, 0)},
        {"update", {"a.pad", "b.pad"}, "", english + " b.pad\n\n" + Usage(0, 0)},
        {"update", {"-s", "eol", "-p", "2"}, "", english + " -p 2\n\n" + Usage(0, 0)},
        {"aktualisieren", {"image.pad", "-p", "2"}, "", german + " -p 2\n\n" + Usage(1, 0)},
        {"VKMupdate", {"image.pad", "-V"}, EnterPrompt(0), english + " -V\n\n" + Usage(0, 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + (" " + c.args.back()));
        // Checking file ... never shows: the image is not opened, nor is the port.
        ExpectOutcome(Run(c.name, c.args, "\n"), 1, c.out, c.err);
    }
}

}  // namespace
