// The chat-messages file of the command-line front ends: a JSON document read whole and parsed
// strictly (no comments).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vexa::tools {

// Deeper documents are refused: copying or printing one recurses once per level.
inline constexpr int kMaxMessagesJsonDepth = 512;

// False when the path names no readable regular file (a folder or a FIFO is refused without
// blocking). An empty file reads as empty text.
bool read_messages_text(const std::string& path, std::string* text);

// Throws the JSON library's parse error (or its out_of_range for a number no double holds),
// or std::runtime_error "Messages JSON nests too deeply" past kMaxMessagesJsonDepth levels.
// Linear in the text.
nlohmann::json parse_messages_json(std::string_view text);

// One line for a JSON library error of parse_messages_json: "Messages file is not valid JSON:
// <the library's reason> at byte <N>" (the library's byte position, counted from 1; no position
// for a number out of range).
std::string messages_json_error_text(const nlohmann::json::exception& e);

}  // namespace vexa::tools
