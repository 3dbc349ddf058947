#include "tools/messages_file.h"

#include <stdexcept>
#include <vector>

#include "tools/file_read.h"

namespace vexa::tools {

bool read_messages_text(const std::string& path, std::string* text) {
  text->clear();
  if (path.find('\0') != std::string::npos) return false;
  std::vector<uint8_t> bytes;
  const FileReadStatus status = read_regular_file(path.c_str(), bytes);
  if (status == FileReadStatus::kEmpty) return true;
  if (status != FileReadStatus::kOk) return false;
  text->assign(bytes.begin(), bytes.end());
  return true;
}

nlohmann::json parse_messages_json(std::string_view text) {
  const nlohmann::json::parser_callback_t depth_guard =
      [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
        if (depth > kMaxMessagesJsonDepth) throw std::runtime_error("Messages JSON nests too deeply");
        return true;
      };
  return nlohmann::json::parse(text, depth_guard, true, false);
}

}  // namespace vexa::tools
