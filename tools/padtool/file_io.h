// padtool's files: inputs are read whole (up to MaxInputBytes); outputs are written to a
// temporary file beside the target and renamed over it, so that a failed write never leaves a
// half-written image under the target's name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace padtool {

// Opens a regular file for reading and returns its descriptor; -1 with the reason in `error`
// (without the file name) for anything else: a FIFO, whose open and read would wait for a
// writer for ever, a device, a socket, a directory.
int OpenRegularFile(const std::string& path, std::string& error);

// Reads the whole file, which must be a regular file. False with the reason in `error`
// (without the file name).
bool ReadInputFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

// Whether two names denote the same file: the same path once resolved, or the same device
// and inode (hard links, symbolic links).
bool SameFile(const std::string& first, const std::string& second);

// Writes `bytes` as `path` (replacing a file of that name). False with the reason in `error`.
bool WriteOutputFile(const std::string& path, std::span<const uint8_t> bytes, std::string& error);

}  // namespace padtool
