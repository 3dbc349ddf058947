// Whole-file reads for the converter's inputs (ONNX models and their external data).
#pragma once

#include <cstdint>
#include <vector>

namespace vexa::tools {

enum class FileReadStatus : uint32_t { kOk, kOpenFailed, kEmpty, kNoMemory, kReadFailed };

// Reads a regular file whole into out. Anything that is not a regular file (a FIFO, a device,
// a folder) is refused as kOpenFailed without blocking. An empty file gives kEmpty with out
// cleared.
FileReadStatus read_regular_file(const char* path, std::vector<uint8_t>& out);

}  // namespace vexa::tools
