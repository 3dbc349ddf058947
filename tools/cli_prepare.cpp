#include "tools/cli_prepare.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/domain_error.h"
#include "generative/processor.h"
#include "tools/prepare_dump.h"

namespace vexa::tools {

using nlohmann::json;

namespace {

[[noreturn]] void refuse(const char* message) { throw DomainError(kDomainFrontend, message); }

std::vector<int64_t> decode_id_list(std::string_view text) {
  std::vector<int64_t> ids;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    const std::string_view part =
        text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    int64_t id = 0;
    const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), id);
    if (part.empty() || ec != std::errc() || end != part.data() + part.size()) refuse("Decode ID");
    ids.push_back(id);
    if (comma == std::string_view::npos) return ids;
    start = comma + 1;
  }
}

void prepare_dump(const uint8_t* metadata, uint64_t metadata_length, int fd, const json& options,
                  uint64_t base_offset) {
  if (!options.contains("output")) refuse("prepare requires --output DIRECTORY");
  const std::string directory = options.at("output").get<std::string>();
  const VXProcessor processor(metadata, metadata_length, fd, base_offset);
  const PreparedInputs prepared = processor.prepare(RequestDocument(options));
  json manifest = prepare_dump_manifest(prepared);

  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec) refuse("Create input dump directory");
  for (const auto& [name, tensor] : prepared.tensors) {
    const FileReplaceResult r =
        replace_file_bytes(directory + "/" + name + ".bin", tensor.data.data(), tensor.data.size());
    if (!r.ok()) refuse("Write input dump");
  }
  if (options.contains("decode_ids")) {
    manifest["decoded"] = processor.decode(decode_id_list(options.at("decode_ids").get<std::string>()));
  }
  const std::string text = manifest_text(manifest);
  if (!replace_file_bytes(directory + "/" + kInputManifestName, text.data(), text.size()).ok()) {
    refuse("Write input manifest");
  }
}

}  // namespace

bool cli_prepare_dump(const uint8_t* metadata, uint64_t metadata_length, int fd,
                      const json& options, uint64_t base_offset) {
  try {
    prepare_dump(metadata, metadata_length, fd, options, base_offset);
    return true;
  } catch (const DomainError& e) {
    std::fprintf(stderr, "vexa prepare: %s\n", e.reason());
    return false;
  }
}

}  // namespace vexa::tools
