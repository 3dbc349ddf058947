// Editing the key/value metadata of an existing container file without converting the model
// again: set adds or replaces one key, delete removes one. The weights bytes never change; the
// metadata region is re-sealed (body and header digests). When the region must grow, the sections
// are packed again from offset 512 and the weights move to the next 16384-byte boundary, every
// absolute weight offset moving with them.
//
// The new file is made beside the old one and renamed over it (core/file_replace.h): a refusal or
// a failure at any point leaves the file byte-identical.
#pragma once

#include <cstdint>
#include <string_view>

#include "tools/tool_result.h"

namespace vexa::tools {

// type: MetaValueType (1 string, 2 f64, 3 i64, 4 bool, 5 string list, 6 f32 array, 7 opaque;
// types 1, 5, 6 and 7 keep their value bytes in the string pool, the others in `inline_value`).
// flags, inline_value, value_length and item_count are stored as given. Success text is empty.
ToolResult model_meta_set(std::string_view path, std::string_view key, uint64_t type,
                          uint64_t flags, uint64_t inline_value, const void* value_bytes,
                          uint64_t value_length, uint64_t item_count);
ToolResult model_meta_delete(std::string_view path, std::string_view key);

// One past the last string-pool byte that the graph value names, tensor names and metadata
// entries use (at least 1): the first byte free for new strings. The image's section tables must
// have passed container_check_tables, which keeps every position read here inside the image.
uint64_t string_pool_extent(const uint8_t* image);

}  // namespace vexa::tools
