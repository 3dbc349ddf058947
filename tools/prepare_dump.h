// The prepare dump: every prepared model input as a raw ".bin" file (its bytes exactly, no
// header) beside an "inputs.json" manifest. Every file is written to a temporary file, flushed
// and renamed over its target, so a failed write never leaves a partial or destroyed file;
// files completed before a failure stay.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "core/file_replace.h"
#include "generative/request_prepare.h"

namespace vexa::tools {

inline constexpr const char* kInputManifestName = "inputs.json";

// Creates or replaces `path` with [data, data + size).
FileReplaceResult replace_file_bytes(const std::string& path, const void* data, uint64_t size);

// As replace_file_bytes, throwing std::runtime_error "Cannot write " + path when the file
// cannot be created (or may not be replaced), "Write failed " + path when a later step fails.
void write_file_bytes(const std::string& path, const void* data, uint64_t size);

// Two-space indent, keys in sorted order, UTF-8 kept (invalid bytes replaced), then "\n".
std::string manifest_text(const nlohmann::json& value);
void write_json_file(const std::string& path, const nlohmann::json& value);

// The prepared request's summary with each input's entry as {"dtype", "file", "shape"}, where
// "file" is the input's name followed by ".bin".
nlohmann::json prepare_dump_manifest(const PreparedInputs& prepared);

// Creates `directory` with its parents (std::filesystem's error on failure), writes each
// tensor in name order, then the manifest.
void write_prepare_dump(const PreparedInputs& prepared, const std::string& directory);

}  // namespace vexa::tools
