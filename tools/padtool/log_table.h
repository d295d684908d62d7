// padtool log: the production log of update (UPDATE_LOG) as a table for the shift's report, and
// the strict reader of the log's lines (flat JSON objects) it is built on.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace padtool {

// A value of a flat JSON object: a string, a number, true/false or null.
struct JsonValue {
    enum class Kind { String, Number, Boolean, Null };
    Kind kind = Kind::Null;
    std::string text;  // the string's bytes, or the number as it was written
    double number = 0;
    bool boolean = false;
};

using FlatObject = std::vector<std::pair<std::string, JsonValue>>;

// Reads one line that holds exactly one JSON object whose values are strings, numbers,
// true, false or null (no nested objects or arrays), with white space between the tokens.
// Anything else (a trailing comma, a duplicate key, a raw control character in a string, a
// lone surrogate, text after the object) is refused: false with the reason in `error`.
[[nodiscard]] bool ParseFlatJson(std::string_view line, FlatObject& object, std::string& error);

// The value of `key`, or nullptr.
[[nodiscard]] const JsonValue* FindValue(const FlatObject& object, std::string_view key);

// Reads the log `input` and prints the table on `out`: one row per record, the failures marked
// "!!" with their message, then the totals per result and the count of malformed lines (their
// line numbers on `errors`). With `colour`, failed rows are red and interrupted ones yellow.
// Returns the number of malformed lines.
int PrintLogTable(std::FILE* input, std::FILE* out, std::FILE* errors, bool colour);

}  // namespace padtool
