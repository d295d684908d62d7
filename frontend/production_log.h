// The production log: with the environment variable UPDATE_LOG=FILE, one line of JSON is
// appended to FILE for every box, whatever the result, so that a production line keeps a record
// of which box got which image with which result. Several update processes may share the file:
// each record goes out in one append write. The command line, the console texts and the exit
// codes stay as they are; a log that cannot be opened costs one line on standard error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/settings.h"

// One box's record. Fields that are not known when the run ends are null in the JSON.
struct LogRecord {
    std::string start;  // local time with its offset, ISO 8601
    double durationSeconds = 0;
    const char* programVersion = nullptr;
    int port = 0;
    const char* device = nullptr;
    const char* image = nullptr;  // the name as given on the command line
    std::optional<unsigned long long> imageSize;
    std::optional<std::string> imageSha256;
    std::optional<uint8_t> hardwareType;
    std::optional<uint32_t> softwareId;
    std::optional<LoaderVersion> loaderVersion;
    const char* family = nullptr;  // the download procedure's name
    bool patchMode = false;
    const char* result = "ok";  // "ok", "failed" or "interrupted"
    std::optional<int> message;
    const char* messageText = nullptr;  // English
    std::optional<uint32_t> error;
    int exitCode = 0;
    uint64_t bytesSent = 0;
};

// The record as one line of JSON (keys in snake_case), with its line end.
[[nodiscard]] std::string FormatLogRecord(const LogRecord& record);

// `text` as a JSON string, quotes included: quotes, backslashes and control characters escaped;
// valid UTF-8 passes as it is, every byte that is not part of valid UTF-8 becomes \u00XX.
void AppendJsonString(std::string& out, const char* text);

// ---- The session's side ---------------------------------------------------------------------
// Opens the file named by UPDATE_LOG, if set, for the whole run, and starts the first box's
// record. A file that cannot be opened: one line on standard error, and the run goes on
// without a log. `settings` is read again when a record is written. The box's record still
// open when the program ends is written by the shutdown ("interrupted" after an interrupt).
void StartProductionLog(const SessionSettings& settings);
// The image as checked: its size and digest, hardware type and software id.
void LogImageChecked();
// Starts the next box's record (loop mode).
void LogNextBox();
void LogLoaderVersion(LoaderVersion version);
void LogFamily(const char* family);
// Writes the current box's record, if one is open, with the result that `exitCode` says
// (0 "ok", otherwise "failed" with the failure last noted). Called at the end of each box and,
// through the shutdown, at the end of the program.
void WriteBoxRecord(int exitCode);
