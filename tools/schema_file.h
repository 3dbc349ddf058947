// The JSON schema file of vexa-chat's --json-schema option: read whole, as the messages file is.
#pragma once

#include <cstdint>
#include <string>

namespace vexa::tools {

// A schema is at most this large (the C API's limit is far lower).
inline constexpr uint64_t kMaxJsonSchemaBytes = uint64_t{1} << 20;

// True with the file's text. False with a one-line reason naming the path when the path names
// no readable regular file (a folder, a FIFO or a device is refused without blocking or
// reading), or the file is empty or larger than kMaxJsonSchemaBytes (refused from its size,
// before it is read).
bool read_json_schema_file(const std::string& path, std::string* text, std::string* error);

}  // namespace vexa::tools
