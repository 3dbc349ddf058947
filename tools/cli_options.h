// The generative command line: its arguments become one options dictionary (JSON object),
// checked and normalised, which drives either generation or the "prepare" dump.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

namespace vexa::tools {

inline constexpr const char* kDefaultVlmModelPath = "models/smolvlm2-500m-fp16.vexa";

// Parses arguments[2..] (index 0 is the program, 1 the command word). Defaults: "activation"
// "fp32", "image_detail" "single", "max_new_tokens" 64, "model" kDefaultVlmModelPath. A value
// option "--a-b" stores its value under "a_b" and marks "a_b_set"; "--stop" repeats into an
// array; flags store true. After the checks, integer options hold numbers, "messages" the
// parsed array, "image_crop" an array of four numbers and "image_longest_edge" always a
// number. Throws DomainError("VexaFrontend") with the refusal's message.
nlohmann::json cli_parse_options(std::span<const std::string> arguments);

// cli_parse_options, printing a refusal as "vexa: <message>" on standard error.
std::optional<nlohmann::json> cli_parse_arguments(std::span<const std::string> arguments);

std::string cli_model_path(const nlohmann::json& options);

}  // namespace vexa::tools
