#include "tools/schema_file.h"

#include <vector>

#include "tools/file_read.h"

namespace vexa::tools {

bool read_json_schema_file(const std::string& path, std::string* text, std::string* error) {
  text->clear();
  const std::string quoted = "'" + path + "'";
  std::vector<uint8_t> bytes;
  const FileReadStatus status = path.find('\0') != std::string::npos
                                    ? FileReadStatus::kOpenFailed
                                    : read_regular_file(path.c_str(), bytes, kMaxJsonSchemaBytes);
  switch (status) {
    case FileReadStatus::kOk:
      text->assign(bytes.begin(), bytes.end());
      return true;
    case FileReadStatus::kEmpty: *error = "JSON schema " + quoted + " is empty"; return false;
    case FileReadStatus::kTooLarge:
      *error = "JSON schema " + quoted + " is larger than " + std::to_string(kMaxJsonSchemaBytes) +
               " bytes";
      return false;
    case FileReadStatus::kNoMemory:
      *error = "out of memory reading JSON schema " + quoted;
      return false;
    case FileReadStatus::kOpenFailed:
    case FileReadStatus::kReadFailed: break;
  }
  *error = "cannot read JSON schema " + quoted;
  return false;
}

}  // namespace vexa::tools
