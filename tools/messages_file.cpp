#include "tools/messages_file.h"

#include <cstdio>
#include <stdexcept>
#include <vector>

#include "tools/file_read.h"

namespace vexa::tools {

namespace {

// SAX events of one pass over the text: counts the containers around every value and refuses
// past kMaxMessagesJsonDepth, as the DOM parser's callback did (a value's depth is the number
// of arrays and objects around it). Builds nothing, so the pass is linear in the text: the
// library's callback parser rescans the parent container after every object it closes, which
// made 900 KB of empty objects in one array take 99 s (40 ms now; bench/bench_messages).
class DepthCheck {
 public:
  bool null() { return value(); }
  bool boolean(bool) { return value(); }
  bool number_integer(nlohmann::json::number_integer_t) { return value(); }
  bool number_unsigned(nlohmann::json::number_unsigned_t) { return value(); }
  bool number_float(nlohmann::json::number_float_t, const nlohmann::json::string_t&) {
    return value();
  }
  bool string(nlohmann::json::string_t&) { return value(); }
  bool binary(nlohmann::json::binary_t&) { return value(); }
  bool start_object(size_t) { return open(); }
  bool key(nlohmann::json::string_t&) { return value(); }
  bool end_object() { return close(); }
  bool start_array(size_t) { return open(); }
  bool end_array() { return close(); }
  // The library's own exception, as its parser throws it (a parse_error with the byte position,
  // or out_of_range for a number too large for a double).
  template <typename Exception>
  bool parse_error(size_t, const std::string&, const Exception& e) {
    throw e;
  }

 private:
  bool value() const {
    if (depth_ > kMaxMessagesJsonDepth) throw std::runtime_error("Messages JSON nests too deeply");
    return true;
  }
  bool open() {
    value();
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  int depth_ = 0;
};

}  // namespace

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
  // Checked first, then parsed by the library's plain DOM parser: both passes are linear, and
  // nothing deeper than the limit is ever built.
  DepthCheck depth;
  nlohmann::json::sax_parse(text, &depth, nlohmann::json::input_format_t::json, true, false);
  return nlohmann::json::parse(text, nullptr, true, false);
}

std::string messages_json_error_text(const nlohmann::json::exception& e) {
  // The library's text after its "[json.exception.<kind>.<id>] " tag and, for a parse error,
  // after its "parse error at line L, column C: " lead, which the byte position replaces.
  std::string_view what = e.what();
  if (const size_t tag = what.find("] "); tag != std::string_view::npos) what.remove_prefix(tag + 2);
  const auto* parse = dynamic_cast<const nlohmann::json::parse_error*>(&e);
  if (parse != nullptr && what.rfind("parse error", 0) == 0) {
    if (const size_t lead = what.find(": "); lead != std::string_view::npos) what.remove_prefix(lead + 2);
  }
  // The library quotes the last bytes it read as they are: control bytes and bytes of broken
  // UTF-8 are written as \xNN, so the message stays one printable line.
  std::string detail;
  for (const char c : what) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      detail.push_back(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      detail += escaped;
    }
  }
  std::string text = "Messages file is not valid JSON: " + detail;
  if (parse != nullptr) text += " at byte " + std::to_string(parse->byte);
  return text;
}

}  // namespace vexa::tools
