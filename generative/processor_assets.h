// The six JSON documents of a generative model's processor, stored as named blobs listed in the
// container's aux table (section 9). Names live in the string area (section 1); blobs lie
// after the weights data, between the end of the metadata image and the container length.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vexa {

inline constexpr std::array<std::string_view, 6> kProcessorAssetNames = {
    "config.json",           "tokenizer.json",          "tokenizer_config.json",
    "preprocessor_config.json", "processor_config.json", "generation_config.json"};

inline constexpr uint64_t kAuxTableHeaderBytes = 32;
inline constexpr uint64_t kMinAuxEntryBytes = 64;
// Documents nested deeper are refused as invalid JSON: copying or printing one recurses per level.
inline constexpr uint64_t kMaxProcessorJsonDepth = 512;

// Returns {"config.json": {...}, ...} with all six documents. `image` is the container's
// metadata region [0, length); blobs are read with pread at base_offset + blob offset. Every
// refusal throws DomainError("VexaFrontend", message) with the messages "Aux metadata bounds",
// "Aux table bounds", "Aux name bounds", "Aux name terminator", "Aux name UTF-8",
// "Aux blob bounds", "Duplicate processor asset", "Reading processor asset",
// "Invalid processor JSON", "Missing processor assets in vexa container".
nlohmann::json read_processor_assets(const uint8_t* image, uint64_t length, int fd,
                                     uint64_t base_offset);

// Strict JSON (no comments) whose top level is an object, nested at most
// kMaxProcessorJsonDepth deep; anything else throws "Invalid processor JSON".
nlohmann::json parse_processor_json(std::string_view text);

}  // namespace vexa
