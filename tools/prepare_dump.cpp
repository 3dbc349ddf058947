#include "tools/prepare_dump.h"

#include <filesystem>
#include <stdexcept>

namespace vexa::tools {

using nlohmann::json;

FileReplaceResult replace_file_bytes(const std::string& path, const void* data, uint64_t size) {
  return file_replace(path, {}, [&](FileReplaceSink& sink) { return sink.write(data, size); });
}

void write_file_bytes(const std::string& path, const void* data, uint64_t size) {
  const FileReplaceResult r = replace_file_bytes(path, data, size);
  if (r.ok()) return;
  const bool not_created = r.outcome == FileReplaceOutcome::kRefused ||
                           (r.outcome == FileReplaceOutcome::kWriteFailed &&
                            r.failed_step == FileReplaceStep::kOpen);
  throw std::runtime_error((not_created ? "Cannot write " : "Write failed ") + path);
}

std::string manifest_text(const json& value) {
  return value.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

void write_json_file(const std::string& path, const json& value) {
  const std::string text = manifest_text(value);
  write_file_bytes(path, text.data(), text.size());
}

json prepare_dump_manifest(const PreparedInputs& prepared) {
  json manifest = prepared_inputs_summary(prepared);
  for (auto& [name, entry] : manifest["inputs"].items()) entry["file"] = name + ".bin";
  return manifest;
}

void write_prepare_dump(const PreparedInputs& prepared, const std::string& directory) {
  std::filesystem::create_directories(directory);
  for (const auto& [name, tensor] : prepared.tensors) {
    write_file_bytes(directory + "/" + name + ".bin", tensor.data.data(), tensor.data.size());
  }
  write_json_file(directory + "/" + kInputManifestName, prepare_dump_manifest(prepared));
}

}  // namespace vexa::tools
