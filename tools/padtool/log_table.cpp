// The production log as a table, and the strict reader of its flat JSON lines.
#include "tools/padtool/log_table.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>

namespace padtool {

namespace {

// A cursor over one line.
class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    void SkipBlanks() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\r' || text_[pos_] == '\n')) {
            ++pos_;
        }
    }
    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }
    bool Take(char c) {
        if (Peek() == c && !AtEnd()) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool TakeWord(std::string_view word) {
        if (text_.substr(pos_, word.size()) == word) {
            pos_ += word.size();
            return true;
        }
        return false;
    }
    std::size_t Position() const { return pos_; }
    std::string_view Rest() const { return text_.substr(pos_); }
    std::string_view Slice(std::size_t from, std::size_t to) const {
        return text_.substr(from, to - from);
    }
    void Advance(std::size_t n) { pos_ += n; }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

bool Fail(std::string& error, const std::string& reason, const Reader& reader) {
    error = reason + " at column " + std::to_string(reader.Position() + 1);
    return false;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool ReadHex4(Reader& reader, unsigned& value) {
    const std::string_view rest = reader.Rest();
    if (rest.size() < 4) {
        return false;
    }
    value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        const int digit = HexDigitValue(rest[i]);
        if (digit < 0) {
            return false;
        }
        value = value * 16 + static_cast<unsigned>(digit);
    }
    reader.Advance(4);
    return true;
}

void AppendUtf8(std::string& out, unsigned codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

bool ReadString(Reader& reader, std::string& out, std::string& error) {
    if (!reader.Take('"')) {
        return Fail(error, "a string was expected", reader);
    }
    out.clear();
    for (;;) {
        if (reader.AtEnd()) {
            return Fail(error, "the string does not end", reader);
        }
        const char c = reader.Peek();
        reader.Advance(1);
        if (c == '"') {
            return true;
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            return Fail(error, "a control character in a string", reader);
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        const char escaped = reader.Peek();
        reader.Advance(1);
        switch (escaped) {
            case '"':
            case '\\':
            case '/':
                out += escaped;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                unsigned unit = 0;
                if (!ReadHex4(reader, unit)) {
                    return Fail(error, "a bad \\u escape", reader);
                }
                if (unit >= 0xDC00 && unit <= 0xDFFF) {
                    return Fail(error, "a lone low surrogate", reader);
                }
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    unsigned low = 0;
                    if (!reader.TakeWord("\\u") || !ReadHex4(reader, low) || low < 0xDC00 ||
                        low > 0xDFFF) {
                        return Fail(error, "a lone high surrogate", reader);
                    }
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                }
                AppendUtf8(out, unit);
                break;
            }
            default:
                return Fail(error, "a bad escape", reader);
        }
    }
}

// A number as JSON writes it: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool ReadNumber(Reader& reader, JsonValue& value, std::string& error) {
    const std::size_t start = reader.Position();
    auto digits = [&reader] {
        std::size_t n = 0;
        while (reader.Peek() >= '0' && reader.Peek() <= '9') {
            reader.Advance(1);
            ++n;
        }
        return n;
    };
    (void)reader.Take('-');
    if (reader.Peek() == '0') {
        reader.Advance(1);
    } else if (digits() == 0) {
        return Fail(error, "a bad number", reader);
    }
    if (reader.Take('.') && digits() == 0) {
        return Fail(error, "a bad number", reader);
    }
    if (reader.Take('e') || reader.Take('E')) {
        if (!reader.Take('+')) {
            (void)reader.Take('-');
        }
        if (digits() == 0) {
            return Fail(error, "a bad number", reader);
        }
    }
    value.kind = JsonValue::Kind::Number;
    value.text = std::string(reader.Slice(start, reader.Position()));
    value.number = std::strtod(value.text.c_str(), nullptr);
    return true;
}

bool ReadValue(Reader& reader, JsonValue& value, std::string& error) {
    const char c = reader.Peek();
    if (c == '"') {
        value.kind = JsonValue::Kind::String;
        return ReadString(reader, value.text, error);
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
        return ReadNumber(reader, value, error);
    }
    if (reader.TakeWord("true")) {
        value.kind = JsonValue::Kind::Boolean;
        value.boolean = true;
        return true;
    }
    if (reader.TakeWord("false")) {
        value.kind = JsonValue::Kind::Boolean;
        value.boolean = false;
        return true;
    }
    if (reader.TakeWord("null")) {
        value.kind = JsonValue::Kind::Null;
        return true;
    }
    if (c == '{' || c == '[') {
        return Fail(error, "a nested value (the log's records are flat)", reader);
    }
    return Fail(error, "a value was expected", reader);
}

// ---- The table ------------------------------------------------------------------------------

struct Row {
    std::string marker;
    std::array<std::string, 8> cells;
    std::string failure;  // "message 32: error -> wrong hardware IDs (error 0)"
    std::string result;
};

constexpr std::array<const char*, 8> Headings{"start",  "port",   "image",    "loader",
                                              "family", "result", "duration", "bytes"};

// A value as a cell: strings as they are (control characters shown as '?'), numbers as
// written, null as "-".
std::string Cell(const FlatObject& object, std::string_view key) {
    const JsonValue* value = FindValue(object, key);
    if (value == nullptr || value->kind == JsonValue::Kind::Null) {
        return "-";
    }
    if (value->kind == JsonValue::Kind::Boolean) {
        return value->boolean ? "yes" : "no";
    }
    std::string text = value->text;
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return text;
}

std::string Duration(const FlatObject& object) {
    const JsonValue* value = FindValue(object, "duration_s");
    if (value == nullptr || value->kind != JsonValue::Kind::Number) {
        return "-";
    }
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f s", value->number);
    return text.data();
}

// The width of a cell on the screen: UTF-8 continuation bytes take no column.
std::size_t Width(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

void PrintCell(std::FILE* out, const std::string& text, std::size_t width) {
    std::fputs(text.c_str(), out);
    for (std::size_t n = Width(text); n < width; ++n) {
        std::fputc(' ', out);
    }
}

}  // namespace

bool ParseFlatJson(std::string_view line, FlatObject& object, std::string& error) {
    object.clear();
    Reader reader(line);
    reader.SkipBlanks();
    if (!reader.Take('{')) {
        return Fail(error, "an object was expected", reader);
    }
    reader.SkipBlanks();
    if (!reader.Take('}')) {
        for (;;) {
            reader.SkipBlanks();
            std::string key;
            if (!ReadString(reader, key, error)) {
                return false;
            }
            if (FindValue(object, key) != nullptr) {
                return Fail(error, "the key \"" + key + "\" twice", reader);
            }
            reader.SkipBlanks();
            if (!reader.Take(':')) {
                return Fail(error, "':' was expected", reader);
            }
            reader.SkipBlanks();
            JsonValue value;
            if (!ReadValue(reader, value, error)) {
                return false;
            }
            object.emplace_back(std::move(key), std::move(value));
            reader.SkipBlanks();
            if (reader.Take('}')) {
                break;
            }
            if (!reader.Take(',')) {
                return Fail(error, "',' or '}' was expected", reader);
            }
        }
    }
    reader.SkipBlanks();
    if (!reader.AtEnd()) {
        return Fail(error, "text after the object", reader);
    }
    return true;
}

const JsonValue* FindValue(const FlatObject& object, std::string_view key) {
    for (const auto& [name, value] : object) {
        if (name == key) {
            return &value;
        }
    }
    return nullptr;
}

int PrintLogTable(std::FILE* input, std::FILE* out, std::FILE* errors, bool colour) {
    std::vector<Row> rows;
    std::map<std::string, int> totals;
    std::vector<std::string> malformed;
    std::string line;
    int lineNumber = 0;
    int c = 0;
    bool more = true;
    while (more) {
        line.clear();
        while ((c = std::fgetc(input)) != EOF && c != '\n') {
            line += static_cast<char>(c);
        }
        more = c != EOF;
        if (line.empty() && !more) {
            break;
        }
        ++lineNumber;
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;  // an empty line is no record
        }
        FlatObject object;
        std::string error;
        if (!ParseFlatJson(line, object, error)) {
            malformed.push_back("line " + std::to_string(lineNumber) + ": " + error);
            continue;
        }
        // A box's record names its result; other JSON is no box.
        const JsonValue* result = FindValue(object, "result");
        if (result == nullptr || result->kind != JsonValue::Kind::String) {
            malformed.push_back("line " + std::to_string(lineNumber) +
                                ": not a record (no \"result\" text)");
            continue;
        }
        Row row;
        row.result = Cell(object, "result");
        row.cells = {Cell(object, "start"),  Cell(object, "port"),
                     Cell(object, "image"),  Cell(object, "loader_version"),
                     Cell(object, "family"), row.result,
                     Duration(object),       Cell(object, "bytes_sent")};
        if (row.result != "ok") {
            row.marker = "!!";
            const JsonValue* message = FindValue(object, "message");
            if (message != nullptr && message->kind == JsonValue::Kind::Number) {
                row.failure = "message " + message->text + ": ";
            }
            if (std::string text = Cell(object, "message_text"); text != "-") {
                // The catalogue's texts end in a blank that separates them from a value.
                while (!text.empty() && text.back() == ' ') {
                    text.pop_back();
                }
                row.failure += text;
            }
            // 0: the failure line carries no value.
            if (const std::string value = Cell(object, "error"); value != "-" && value != "0") {
                row.failure += (row.failure.empty() ? "error " : " (error ") + value +
                               (row.failure.empty() ? "" : ")");
            }
            row.failure +=
                (row.failure.empty() ? "exit code " : ", exit code ") + Cell(object, "exit_code");
        }
        ++totals[row.result];
        rows.push_back(std::move(row));
    }

    std::array<std::size_t, 8> widths{};
    for (std::size_t i = 0; i < Headings.size(); ++i) {
        widths[i] = Width(Headings[i]);
        for (const Row& row : rows) {
            widths[i] = std::max(widths[i], Width(row.cells[i]));
        }
    }
    std::fputs("   ", out);
    for (std::size_t i = 0; i < Headings.size(); ++i) {
        PrintCell(out, Headings[i], i + 1 < Headings.size() ? widths[i] + 2 : 0);
    }
    std::fputs("\n", out);
    for (const Row& row : rows) {
        const char* on = "";
        if (colour && row.result == "failed") {
            on = "\033[1;31m";
        } else if (colour && row.result != "ok") {
            on = "\033[1;33m";
        }
        std::fputs(on, out);
        PrintCell(out, row.marker, 3);
        for (std::size_t i = 0; i < row.cells.size(); ++i) {
            PrintCell(out, row.cells[i], i + 1 < row.cells.size() ? widths[i] + 2 : 0);
        }
        if (!row.failure.empty()) {
            std::fprintf(out, "  %s", row.failure.c_str());
        }
        std::fputs(*on != '\0' ? "\033[0m\n" : "\n", out);
    }
    std::fprintf(out, "\n%zu box%s:", rows.size(), rows.size() == 1 ? "" : "es");
    const char* separator = " ";
    for (const auto& [result, count] : totals) {
        std::fprintf(out, "%s%s %d", separator, result.c_str(), count);
        separator = ", ";
    }
    std::fprintf(out, "\nmalformed lines: %zu\n", malformed.size());
    for (const std::string& reason : malformed) {
        std::fprintf(errors, "padtool: %s\n", reason.c_str());
    }
    return static_cast<int>(malformed.size());
}

}  // namespace padtool
