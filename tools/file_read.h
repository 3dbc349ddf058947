// Whole-file reads for the converter's inputs (ONNX models and their external data) and the
// command lines' input files.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace vexa::tools {

enum class FileReadStatus : uint32_t { kOk, kOpenFailed, kEmpty, kNoMemory, kReadFailed, kTooLarge };

inline constexpr uint64_t kNoFileSizeLimit = std::numeric_limits<uint64_t>::max();

// Reads a regular file whole into out. Anything that is not a regular file (a FIFO, a device,
// a folder) is refused as kOpenFailed without blocking. An empty file gives kEmpty with out
// cleared. A file of more than max_bytes is refused as kTooLarge from its size, before anything
// is allocated or read.
FileReadStatus read_regular_file(const char* path, std::vector<uint8_t>& out,
                                 uint64_t max_bytes = kNoFileSizeLimit);

}  // namespace vexa::tools
