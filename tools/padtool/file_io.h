// padtool's files: inputs are read whole (up to MaxInputBytes); outputs are written to a
// temporary file beside the target and renamed over it, so that a failed write never leaves a
// half-written image under the target's name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace padtool {

// Reads the whole file. False with the reason in `error` (without the file name).
bool ReadInputFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

// Whether two names denote the same file: the same path once resolved, or the same device
// and inode (hard links, symbolic links).
bool SameFile(const std::string& first, const std::string& second);

// Writes `bytes` as `path` (replacing a file of that name). False with the reason in `error`.
bool WriteOutputFile(const std::string& path, std::span<const uint8_t> bytes, std::string& error);

}  // namespace padtool
