// The generative command line's "prepare" command: request preparation only, every model input
// dumped as a raw ".bin" file with an "inputs.json" manifest (see tools/prepare_dump.h).
#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

namespace vexa::tools {

// `metadata` [0, metadata_length) is the model's metadata region and `fd` the open model file,
// whose container starts at base_offset. Prepares the options dictionary (as
// cli_parse_options leaves it) and writes the dump into its "output" directory; with
// "decode_ids" (comma-separated ids) the manifest also holds their text under "decoded".
// A refusal prints "vexa prepare: <message>" on standard error and returns false: "prepare
// requires --output DIRECTORY", the processor's and the preparation's messages, "Create input
// dump directory", "Write input dump", "Decode ID", "Write input manifest". Files completed
// before a failure stay.
bool cli_prepare_dump(const uint8_t* metadata, uint64_t metadata_length, int fd,
                      const nlohmann::json& options, uint64_t base_offset = 0);

}  // namespace vexa::tools
