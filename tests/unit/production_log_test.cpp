// The pieces of the production log: SHA-256 from the system's implementation, the local time
// with its offset, the JSON record and padtool's strict reader of it, and padtool log's table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "frontend/production_log.h"
#include "platform/local_time.h"
#include "platform/platform.h"
#include "platform/sha256.h"
#include "tests/support/pad_builder.h"
#include "tools/padtool/log_table.h"

namespace {

using padtool::FindValue;
using padtool::FlatObject;
using padtool::JsonValue;
using padtool::ParseFlatJson;

std::string HexOf(const std::string& message, std::size_t piece) {
    Sha256 hash;
    for (std::size_t at = 0; at < message.size(); at += piece) {
        hash.Update(message.data() + at, std::min(piece, message.size() - at));
    }
    Sha256Digest digest{};
    EXPECT_EQ(hash.Finish(digest), 1);
    return Sha256ToHex(digest).data();
}

// The test vectors of the SHA-256 standard, fed whole and in odd pieces.
TEST(Sha256Test, GivesTheStandardsTestVectors) {
    const struct {
        std::string message;
        const char* digest;
    } vectors[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.message.substr(0, 20));
        EXPECT_EQ(HexOf(v.message, v.message.size() + 1), v.digest);
        EXPECT_EQ(HexOf(v.message, 7), v.digest);
    }
}

TEST(Sha256Test, HashesAFileLargerThanOnePieceAndGivesItsSize) {
    const std::string dir = test::TempDir();
    const std::vector<uint8_t> million(1000000, 'a');
    ASSERT_TRUE(test::WriteFileBytes(dir + "/a.bin", million));
    Sha256Digest digest{};
    uint64_t size = 0;
    ASSERT_EQ(Sha256OfFile((dir + "/a.bin").c_str(), digest, size), 1);
    EXPECT_EQ(size, 1000000u);
    EXPECT_STREQ(Sha256ToHex(digest).data(),
                 "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    EXPECT_EQ(Sha256OfFile((dir + "/missing").c_str(), digest, size), 0);
    EXPECT_EQ(GetLastErrorValue(), static_cast<uint32_t>(ENOENT));
}

TEST(LocalTimeTest, TheOffsetIsWrittenAsSignHoursColonMinutes) {
    const struct {
        int offsetMinutes;
        const char* expected;
    } cases[] = {
        {0, "2026-12-09T01:02:03+00:00"},    {60, "2026-12-09T01:02:03+01:00"},
        {-330, "2026-12-09T01:02:03-05:30"}, {345, "2026-12-09T01:02:03+05:45"},
        {-600, "2026-12-09T01:02:03-10:00"}, {-30, "2026-12-09T01:02:03-00:30"},
    };
    for (const auto& c : cases) {
        LocalTimeFields fields{2026, 12, 9, 1, 2, 3, c.offsetMinutes};
        EXPECT_STREQ(FormatIsoLocalTime(fields).data(), c.expected);
    }
}

// The platform's local time follows the time zone, the offset included.
TEST(LocalTimeTest, TheOffsetFollowsTheTimeZone) {
    const char* saved = std::getenv("TZ");
    const std::optional<std::string> previous =
        saved != nullptr ? std::optional<std::string>(saved) : std::nullopt;
    const struct {
        const char* zone;
        int offsetMinutes;
    } zones[] = {{"UTC0", 0}, {"<+0530>-5:30", 330}, {"<-03>3", -180}, {"<+0545>-5:45", 345}};
    for (const auto& z : zones) {
        SCOPED_TRACE(z.zone);
        setenv("TZ", z.zone, 1);
        tzset();
        const LocalTimeFields now = LocalTimeNow();
        EXPECT_EQ(now.offsetMinutes, z.offsetMinutes);
        EXPECT_GE(now.year, 2024);
        // The fields are the wall clock of that zone: UTC plus the offset.
        const std::time_t utc = std::time(nullptr);
        std::tm parts{};
        gmtime_r(&utc, &parts);
        const int utcMinutes = parts.tm_hour * 60 + parts.tm_min;
        const int localMinutes = now.hour * 60 + now.minute;
        const int difference = ((localMinutes - utcMinutes - z.offsetMinutes) % 1440 + 1440) % 1440;
        EXPECT_TRUE(difference <= 1 || difference >= 1439) << now.hour << ":" << now.minute;
    }
    if (previous) {
        setenv("TZ", previous->c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

// What a JSON reader makes of a byte string: valid UTF-8 as it is, every other byte as the
// code point of its value.
std::string Expected(const std::string& bytes, const std::vector<std::size_t>& stray) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (std::find(stray.begin(), stray.end(), i) != stray.end()) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

TEST(LogRecordTest, StringsSurviveTheRoundTripThroughTheReader) {
    const struct {
        std::string text;
        std::vector<std::size_t> stray;  // positions of bytes that are not valid UTF-8
    } cases[] = {
        {"image.pad", {}},
        {"say \"hi\"\\now", {}},
        {"C:\\images\\24.4.pad", {}},
        {std::string("tab\tline\nret\rbell\a nul-less \x01\x1f del\x7f"), {}},
        {"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80", {}},
        {"latin1 \xe4\xf6\xfc", {7, 8, 9}},
        {"cut \xc3", {4}},
        {"overlong \xc0\xaf", {9, 10}},
        {"surrogate \xed\xa0\x80", {10, 11, 12}},
        {"beyond \xf4\x90\x80\x80", {7, 8, 9, 10}},
        {"\xff\xfe", {0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string line = "{\"k\":";
        AppendJsonString(line, c.text.c_str());
        line += "}";
        // Only printable ASCII and valid UTF-8 reach the file.
        for (const char ch : line) {
            EXPECT_FALSE(static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F);
        }
        FlatObject object;
        std::string error;
        ASSERT_TRUE(ParseFlatJson(line, object, error)) << error << "\n" << line;
        const JsonValue* value = FindValue(object, "k");
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->kind, JsonValue::Kind::String);
        EXPECT_EQ(value->text, Expected(c.text, c.stray));
    }
}

TEST(LogRecordTest, IsOneLineWithEveryFieldAndNullForWhatIsNotKnown) {
    LogRecord full;
    full.start = "2026-12-09T01:02:03+01:00";
    full.durationSeconds = 12.3456;
    full.programVersion = "2.16";
    full.port = 3;
    full.device = "/dev/ttyUSB2";
    full.image = "dir/image \"A\".pad";
    full.imageSize = 108907;
    full.imageSha256 = std::string(64, 'a');
    full.hardwareType = 0x14;
    full.softwareId = 0x00180004;
    full.loaderVersion = LoaderVersion{24, 2};
    full.family = "StreamingDownload";
    full.patchMode = true;
    full.result = "failed";
    full.message = 32;
    full.messageText = "error -> wrong hardware IDs ";
    full.error = 536870914;
    full.exitCode = 1;
    full.bytesSent = 5000000000ULL;

    LogRecord early;  // a run that ended before the image was read
    early.start = full.start;
    early.programVersion = "2.16";
    early.port = 1;
    early.result = "failed";
    early.exitCode = 1;

    const std::vector<std::string> keys{
        "start",          "duration_s", "program_version", "port",          "device",
        "image",          "image_size", "image_sha256",    "hardware_type", "software_id",
        "loader_version", "family",     "patch_mode",      "result",        "message",
        "message_text",   "error",      "exit_code",       "bytes_sent"};
    for (const LogRecord* record : {&full, &early}) {
        const std::string line = FormatLogRecord(*record);
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1);
        FlatObject object;
        std::string error;
        ASSERT_TRUE(ParseFlatJson(line, object, error)) << error << "\n" << line;
        EXPECT_EQ(object.size(), keys.size());
        for (const std::string& key : keys) {
            EXPECT_NE(FindValue(object, key), nullptr) << key;
        }
    }

    FlatObject object;
    std::string error;
    ASSERT_TRUE(ParseFlatJson(FormatLogRecord(full), object, error));
    auto text = [&object](const char* key) { return FindValue(object, key)->text; };
    EXPECT_EQ(text("image"), "dir/image \"A\".pad");
    EXPECT_EQ(text("hardware_type"), "0x14");
    EXPECT_EQ(text("software_id"), "24.4");
    EXPECT_EQ(text("loader_version"), "24.2");
    EXPECT_EQ(FindValue(object, "duration_s")->number, 12.346);
    EXPECT_EQ(text("bytes_sent"), "5000000000");
    EXPECT_EQ(text("error"), "536870914");
    EXPECT_EQ(FindValue(object, "message")->number, 32);
    EXPECT_TRUE(FindValue(object, "patch_mode")->boolean);

    ASSERT_TRUE(ParseFlatJson(FormatLogRecord(early), object, error));
    for (const char* key :
         {"device", "image", "image_size", "image_sha256", "hardware_type", "software_id",
          "loader_version", "family", "message", "message_text", "error"}) {
        EXPECT_EQ(FindValue(object, key)->kind, JsonValue::Kind::Null) << key;
    }
}

TEST(FlatJsonReaderTest, ReadsFlatObjects) {
    FlatObject object;
    std::string error;
    ASSERT_TRUE(
        ParseFlatJson(" { \"a\" : -0.5e+3 , \"b\":null,\"c\":true,\"d\":false,"
                      "\"e\":\"\\u00e4\\ud83d\\ude00\\/\",\"f\":0} \r",
                      object, error))
        << error;
    ASSERT_EQ(object.size(), 6u);
    EXPECT_EQ(FindValue(object, "a")->number, -500);
    EXPECT_EQ(FindValue(object, "b")->kind, JsonValue::Kind::Null);
    EXPECT_TRUE(FindValue(object, "c")->boolean);
    EXPECT_FALSE(FindValue(object, "d")->boolean);
    EXPECT_EQ(FindValue(object, "e")->text, "\xc3\xa4\xf0\x9f\x98\x80/");
    EXPECT_EQ(FindValue(object, "f")->number, 0);
    EXPECT_EQ(FindValue(object, "g"), nullptr);
    ASSERT_TRUE(ParseFlatJson("{}", object, error)) << error;
    EXPECT_TRUE(object.empty());
}

TEST(FlatJsonReaderTest, RefusesWhatIsNotAFlatObject) {
    for (const char* line : {
             "",
             "   ",
             "[\"a\"]",
             "{\"a\":1,}",
             "{\"a\":1} x",
             "{\"a\":1}{}",
             "{\"a\":01}",
             "{\"a\":1.}",
             "{\"a\":.5}",
             "{\"a\":+1}",
             "{\"a\":1e}",
             "{\"a\":-}",
             "{\"a\":\"x\\u12\"}",
             "{\"a\":\"\\ud800\"}",
             "{\"a\":\"\\ud800\\u0041\"}",
             "{\"a\":\"\\udc00\"}",
             "{\"a\":\"\\x41\"}",
             "{\"a\":\"b",
             "{\"a\":{\"b\":1}}",
             "{\"a\":[1]}",
             "{\"a\":1,\"a\":2}",
             "{\"a\" 1}",
             "{'a':1}",
             "{a:1}",
             "{\"a\":tru}",
             "{\"a\":nul}",
             "{\"a\":\"tab\there\"}",
             "{\"a\":1",
             "{\"a\":\"\\",
         }) {
        FlatObject object;
        std::string error;
        EXPECT_FALSE(ParseFlatJson(line, object, error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

std::string Capture(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c = 0; (c = std::fgetc(file)) != EOF;) {
        text += static_cast<char>(c);
    }
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = 0; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

TEST(LogTableTest, OneRowPerRecordFailuresMarkedTotalsAndMalformedLinesCounted) {
    const std::string log =
        "{\"start\":\"2026-12-09T01:00:00+01:00\",\"port\":1,\"image\":\"a.pad\","
        "\"loader_version\":\"24.4\",\"family\":\"StreamingDownload\",\"result\":\"ok\","
        "\"duration_s\":3.25,\"bytes_sent\":112345,\"message\":null,\"exit_code\":0}\n"
        "{\"start\":\"2026-12-09T01:01:00+01:00\",\"port\":2,\"image\":\"a.pad\","
        "\"loader_version\":\"24.2\",\"family\":null,\"result\":\"failed\",\"duration_s\":1,"
        "\"bytes_sent\":541,\"message\":32,\"message_text\":\"error -> wrong hardware IDs \","
        "\"error\":0,\"exit_code\":1}\n"
        "not json at all\n"
        "\n"
        "{\"start\":\"2026-12-09T01:02:00+01:00\",\"port\":3,\"result\":\"ok\"\n"
        // JSON, but no box's record: counted as malformed, never as a box.
        "{\"note\":\"shift 2\"}\n"
        "{\"port\":3,\"exit_code\":0}\n"
        "{\"result\":1,\"exit_code\":0}\n"
        "{\"start\":\"2026-12-09T01:03:00+01:00\",\"port\":4,\"image\":\"b\\u0007.pad\","
        "\"result\":\"interrupted\",\"exit_code\":130,\"bytes_sent\":9000}";  // no line end
    for (const bool colour : {false, true}) {
        SCOPED_TRACE(colour ? "colour" : "plain");
        std::FILE* in = std::tmpfile();
        std::FILE* out = std::tmpfile();
        std::FILE* errors = std::tmpfile();
        ASSERT_TRUE(in != nullptr && out != nullptr && errors != nullptr);
        std::fputs(log.c_str(), in);
        std::rewind(in);
        EXPECT_EQ(padtool::PrintLogTable(in, out, errors, colour), 5);
        const std::string table = Capture(out);
        const std::string reasons = Capture(errors);
        std::fclose(in);
        std::fclose(out);
        std::fclose(errors);

        const std::vector<std::string> lines = Lines(table);
        // The heading, three rows, an empty line, the totals and the malformed count.
        ASSERT_EQ(lines.size(), 7u) << table;
        EXPECT_EQ(lines[1].find("!!"), std::string::npos) << lines[1];
        EXPECT_NE(lines[1].find("112345"), std::string::npos) << lines[1];
        EXPECT_NE(lines[2].find("!!"), std::string::npos) << lines[2];
        EXPECT_NE(lines[2].find("32"), std::string::npos) << lines[2];
        EXPECT_NE(lines[2].find("wrong hardware IDs"), std::string::npos) << lines[2];
        EXPECT_NE(lines[3].find("!!"), std::string::npos) << lines[3];
        EXPECT_NE(lines[3].find("interrupted"), std::string::npos) << lines[3];
        // A control character of a file name does not reach the terminal.
        EXPECT_EQ(lines[3].find('\a'), std::string::npos) << lines[3];
        EXPECT_NE(lines[5].find("3 boxes"), std::string::npos) << lines[5];
        EXPECT_NE(lines[5].find("failed 1"), std::string::npos) << lines[5];
        EXPECT_NE(lines[5].find("interrupted 1"), std::string::npos) << lines[5];
        EXPECT_NE(lines[5].find("ok 1"), std::string::npos) << lines[5];
        EXPECT_EQ(lines[6], "malformed lines: 5") << lines[6];
        EXPECT_NE(reasons.find("line 3:"), std::string::npos) << reasons;
        EXPECT_NE(reasons.find("line 5:"), std::string::npos) << reasons;
        for (const char* line :
             {"line 6: not a record", "line 7: not a record", "line 8: not a record"}) {
            EXPECT_NE(reasons.find(line), std::string::npos) << reasons;
        }
        EXPECT_EQ(table.find("\033[") != std::string::npos, colour) << table;
        if (colour) {
            EXPECT_NE(lines[2].find("\033[1;31m"), std::string::npos) << lines[2];
            EXPECT_EQ(lines[1].find("\033["), std::string::npos) << lines[1];
        }
    }
}

}  // namespace
