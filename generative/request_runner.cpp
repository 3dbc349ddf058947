#include "generative/request_runner.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "core/alloc_fault.h"
#include "core/clock.h"
#include "core/domain_error.h"
#include "core/file_replace.h"
#include "generative/generation_documents.h"
#include "gpu/vx_graph.h"

namespace vexa {

using nlohmann::json;

namespace {

constexpr double kMsPerSecond = 1000.0;
constexpr uint64_t kMaxMessages = 4096;
constexpr uint64_t kMaxItems = 4096;
constexpr uint64_t kCropCoordinates = 4;
constexpr uint64_t kRequestSchemaVersion = 1;
// A request file is read whole; anything larger is not a request.
constexpr uint64_t kMaxRequestFileBytes = uint64_t{64} << 20;
// Deeper documents are refused: copying one recurses once per level.
constexpr int kMaxRequestDepth = 512;
constexpr const char* kSamplingKeys[] = {"temperature", "top_p", "min_p", "top_k",
                                         "repetition_penalty", "repetition_window", "seed"};

[[noreturn]] void raise(const char* domain, const char* message) {
  throw DomainError(domain, message);
}
[[noreturn]] void bad_case() { raise(kVlmDomainInference, "Invalid inference case"); }

double ms_since(double t) { return (monotonic_seconds() - t) * kMsPerSecond; }

bool read_text_file(const std::string& path, std::string* out) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size == 0 || size > kMaxRequestFileBytes) return false;
  std::ifstream in(path, std::ios::binary);
  out->assign(std::istreambuf_iterator<char>(in), {});
  return in.good() || in.eof();
}

bool write_json_file(const std::string& path, const json& document) {
  const std::string text = document.dump(2) + "\n";
  return file_replace(path, {}, [&](FileReplaceSink& sink) {
           return sink.write(text.data(), text.size());
         }).ok();
}

std::string parent_of(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}

// Typed reads of a case document: absent keys take `fallback`, a wrong type refuses the case.
template <typename T>
T case_value(const json& doc, const char* key, T fallback) {
  const auto it = doc.find(key);
  if (it == doc.end() || it->is_null()) return fallback;
  try {
    return it->get<T>();
  } catch (const json::exception&) {
    bad_case();
  }
}

// Exactly the stored strings: a parsed message must not point into a temporary.
struct OwnedMessages {
  std::vector<std::string> roles;
  std::vector<std::string> texts;
  std::vector<std::string> paths;
  std::vector<VlmPromptMessage> turns;
  std::vector<VlmContentItem> items;
  std::vector<VlmImageSource> images;
};

json options_messages(const json& options) {
  const auto it = options.find("messages");
  if (it != options.end() && !it->is_null()) return *it;
  // The values go in as given: a path or prompt that is not text is refused with the item,
  // never dropped (an answer that silently ignored the image would look like a real one).
  json content = json::array();
  if (const auto image = options.find("image"); image != options.end() && !image->is_null()) {
    content.push_back({{"type", "image"}, {"path", *image}});
  }
  const auto prompt = options.find("prompt");
  content.push_back({{"type", "text"},
                     {"text", prompt != options.end() && !prompt->is_null() ? *prompt : json("")}});
  return json::array({{{"role", "user"}, {"content", std::move(content)}}});
}

void build_messages(const json& messages, OwnedMessages* out) {
  if (!messages.is_array() || messages.empty() || messages.size() > kMaxMessages) {
    raise(kVlmDomainArgument, "Invalid messages");
  }
  uint64_t total = 0;
  for (const json& m : messages) {
    if (!m.is_object() || !m.contains("content") || !m.at("content").is_array() ||
        m.at("content").size() > kMaxItems) {
      raise(kVlmDomainArgument, "Invalid message content");
    }
    total += m.at("content").size();
  }
  try {
    alloc_fault_check();
    out->turns.resize(messages.size());
    out->items.resize(std::max<uint64_t>(total, 1));
    out->images.resize(std::max<uint64_t>(total, 1));
    out->roles.reserve(messages.size());
    out->texts.reserve(total);
    out->paths.reserve(total);
  } catch (const std::bad_alloc&) {
    raise(kVlmDomainInference, "Message allocation failed");
  }
  uint64_t next = 0;
  for (size_t i = 0; i < messages.size(); ++i) {
    const json& m = messages[i];
    const auto role = m.find("role");
    if (role == m.end() || !role->is_string()) raise(kVlmDomainArgument, "Invalid role");
    out->roles.push_back(role->get<std::string>());
    const json& content = m.at("content");
    out->turns[i] = {out->roles.back().c_str(), out->items.data() + next, content.size()};
    for (const json& item : content) {
      if (!item.is_object()) raise(kVlmDomainArgument, "Invalid content");
      // A type that is not text matches neither kind.
      const auto type_value = item.find("type");
      const std::string type = type_value != item.end() && type_value->is_string()
                                   ? type_value->get<std::string>()
                                   : std::string();
      VlmContentItem& slot = out->items[next];
      if (type == "text") {
        const auto text = item.find("text");
        if (text == item.end() || !text->is_string()) raise(kVlmDomainArgument, "Invalid text");
        out->texts.push_back(text->get<std::string>());
        slot = {kContentText, out->texts.back().c_str(), nullptr};
      } else if (const auto path = item.find("path");
                 type == "image" && path != item.end() && path->is_string()) {
        out->paths.push_back(path->get<std::string>());
        VlmImageSource& image = out->images[next];
        image = VlmImageSource{};
        image.kind = kImageSourcePath;
        image.path = out->paths.back().c_str();
        slot = {kContentImage, nullptr, &image};
      } else {
        raise(kVlmDomainArgument, "Image requires path");
      }
      ++next;
    }
  }
}

// A count option as the request takes it: whole numbers in range, anything else 0 (which the
// request checks refuse where 0 is not allowed).
uint32_t option_u32(const json& options, const char* key) {
  const auto it = options.find(key);
  if (it == options.end() || !it->is_number()) return 0;
  if (it->is_number_unsigned()) {
    const auto v = it->get<uint64_t>();
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
  }
  if (it->is_number_integer()) {
    const auto v = it->get<int64_t>();
    return v < 0 ? 0 : v > int64_t{UINT32_MAX} ? UINT32_MAX : static_cast<uint32_t>(v);
  }
  const double v = it->get<double>();
  return v >= 0 && v <= UINT32_MAX && v == static_cast<double>(static_cast<uint32_t>(v))
             ? static_cast<uint32_t>(v)
             : UINT32_MAX;
}

}  // namespace

GenerationCase generation_case_from_json(const json& doc) {
  if (!doc.is_object()) bad_case();
  GenerationCase c;
  const auto inputs = doc.find("inputs");
  if (inputs != doc.end()) {
    if (!inputs->is_object()) bad_case();
    for (const auto& [name, d] : inputs->items()) {
      if (!d.is_object()) bad_case();
      CaseInput in;
      in.shape = case_value<std::vector<uint64_t>>(d, "shape", {});
      in.dtype = case_value<uint64_t>(d, "dtype", 0);
      in.file = case_value<std::string>(d, "file", "");
      c.inputs.emplace(name, std::move(in));
    }
  }
  c.max_new_tokens = case_value<uint64_t>(doc, "max_new_tokens", 0);
  c.context_length = case_value<uint64_t>(doc, "context_length", 0);
  c.forced_tokens = case_value<std::vector<int64_t>>(doc, "forced_tokens", {});
  c.captures = case_value<std::vector<std::string>>(doc, "captures", {});
  c.trace = case_value<bool>(doc, "trace", false);
  c.stream = case_value<bool>(doc, "stream", false);
  c.name = case_value<std::string>(doc, "name", "prompt");
  c.eos_token_ids = case_value<std::vector<int64_t>>(doc, "eos_token_ids", {});
  const auto stop = doc.find("stop");
  if (stop != doc.end() && !stop->is_null()) {
    if (!stop->is_array()) raise(kVlmDomainInference, "Invalid stop sequence");
    for (const json& s : *stop) {
      if (!s.is_string() || s.get_ref<const std::string&>().empty()) {
        raise(kVlmDomainInference, "Invalid stop sequence");
      }
      c.stop.push_back(s.get<std::string>());
    }
  }
  for (const char* key : kSamplingKeys) {
    if (const auto it = doc.find(key); it != doc.end()) c.sampling[key] = *it;
  }
  return c;
}

bool vlm_run_inference_request(const GpuContext* context, const uint8_t* metadata,
                               uint64_t metadata_length, const char* request_path,
                               const char* output_directory) {
  try {
    const double t0 = monotonic_seconds();
    std::string text;
    if (request_path == nullptr || !read_text_file(request_path, &text)) {
      raise(kVlmDomainInference, "Cannot read request");
    }
    json request;
    try {
      request = json::parse(text, [](int depth, json::parse_event_t, json&) {
        if (depth > kMaxRequestDepth) throw DomainError(kVlmDomainInference, "Request schema");
        return true;
      });
    } catch (const json::exception&) {
      raise(kVlmDomainInference, "Request schema");
    }
    const auto version = request.is_object() ? request.find("schema_version") : request.end();
    if (!request.is_object() || version == request.end() || !version->is_number_integer() ||
        version->get<int64_t>() != static_cast<int64_t>(kRequestSchemaVersion)) {
      raise(kVlmDomainInference, "Request schema");
    }
    const double t1 = monotonic_seconds();
    uint64_t activation = case_value<uint64_t>(request, "activation_dtype", 0);
    if (activation == 0) activation = kVXActivationF16;
    std::unique_ptr<VXGraph> graph =
        VXGraph::init_with_context(context, metadata, metadata_length, activation);
    graph->configure(request);
    const double backend_ms = ms_since(t1);
    graph->set_profile(case_value<bool>(request, "profile", false));

    const std::string out_dir = output_directory != nullptr ? output_directory : "";
    const std::string base = parent_of(request_path);
    json cases = json::array();
    const auto list = request.find("cases");
    if (list != request.end() && list->is_array()) {
      uint64_t i = 0;
      for (const json& doc : *list) {
        const GenerationCase c = generation_case_from_json(doc);
        const std::string case_dir = out_dir + "/case" + std::to_string(i);
        cases.push_back(vlm_run_case(*graph, c, &base, &case_dir, false));
        graph->clear_pool();
        ++i;
      }
    }
    if (cases.empty()) raise(kVlmDomainInference, "No inference cases");

    json manifest = json::object();
    manifest["schema_version"] = kRequestSchemaVersion;
    manifest["backend"] = graph->backend_name();
    manifest["weight_dtype"] = graph->weight_dtype();
    manifest["weight_execution"] = graph->weight_execution();
    manifest["activation_dtype"] = activation < 2 ? "fp16" : "fp32";
    manifest["device"] = graph->device() != nullptr ? std::string(graph->device()->name()) : "";
    manifest["backend_prepare_ms"] = backend_ms;
    manifest["request_read_ms"] = (t1 - t0) * kMsPerSecond;
    manifest["max_rss_bytes"] = max_rss_bytes();
    manifest["peak_observed_metal_allocated_bytes"] = graph->peak_metal_allocated_bytes();
    manifest["cases"] = std::move(cases);
    if (!write_json_file(out_dir + "/result.json", manifest)) {
      raise(kVlmDomainInference, "Writing result manifest");
    }
    return true;
  } catch (const DomainError& e) {
    std::fprintf(stderr, "vexa inference: %s\n", e.reason());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vexa inference: %s\n", e.what());
  }
  return false;
}

int vlm_generate_from_options(VlmHandle* handle, const json& options, StopStreamCallback callback,
                              void* user_data, VlmResult* result, VlmError* error) {
  try {
    if (!options.is_object()) raise(kVlmDomainArgument, "Invalid messages");
    OwnedMessages messages;
    build_messages(options_messages(options), &messages);

    VlmRequest request = vlm_request_default();
    request.max_new_tokens = option_u32(options, "max_new_tokens");
    request.sampling = sampling_params_from_dictionary(options);
    request.tiled = options.value("image_detail", json()) == "tiled" ? 1 : 0;
    request.image_longest_edge = option_u32(options, "image_longest_edge");
    if (const auto crop = options.find("image_crop"); crop != options.end() && !crop->is_null()) {
      if (!crop->is_array() || crop->size() != kCropCoordinates) {
        raise(kVlmDomainArgument, "Crop requires four coordinates");
      }
      request.crop = 1;
      for (size_t i = 0; i < kCropCoordinates; ++i) {
        if (!(*crop)[i].is_number()) raise(kVlmDomainArgument, "Crop requires four coordinates");
        request.crop_box[i] = (*crop)[i].get<double>();
      }
    }
    std::string schema;
    if (const auto s = options.find("json_schema"); s != options.end() && s->is_string()) {
      schema = s->get<std::string>();
      request.json_schema = schema.c_str();
    }
    request.amount_decimals = option_u32(options, "amount_decimals");

    std::vector<std::string> stop_texts;
    if (const auto stop = options.find("stop"); stop != options.end() && stop->is_array()) {
      for (const json& s : *stop) {
        if (!s.is_string()) raise(kVlmDomainArgument, "Invalid stop sequences");
        stop_texts.push_back(s.get<std::string>());
      }
    }
    std::vector<const char*> stops;
    try {
      alloc_fault_check();
      stops.reserve(std::max<size_t>(stop_texts.size(), 1));
    } catch (const std::bad_alloc&) {
      raise(kVlmDomainInference, "Stop allocation failed");
    }
    for (const std::string& s : stop_texts) stops.push_back(s.c_str());
    request.stops = stops.data();
    request.stop_count = stops.size();
    return vlm_generate(handle, messages.turns.data(), messages.turns.size(), &request, callback,
                        user_data, result, error);
  } catch (...) {
    if (error != nullptr) vlm_error_from_exception(std::current_exception(), error);
    return 0;
  }
}

int vlm_generate_with_report(const json& options, VlmResult* result, VlmError* error) {
  VlmHandle* handle = nullptr;
  int ok = 0;
  try {
    const double t0 = monotonic_seconds();
    if (!options.is_object()) raise(kVlmDomainArgument, "Model path and output are required");
    VlmOpenParams params = vlm_open_params_default();
    const uint32_t context = option_u32(options, "context_length");
    params.context_length = context == 0 ? kVlmDefaultContextLength : context;
    params.activation_fp16 = options.value("activation", json()) == "fp16" ? 1 : 0;
    const std::string backend =
        options.contains("backend") && options.at("backend").is_string()
            ? options.at("backend").get<std::string>()
            : std::string("auto");
    params.backend = backend.c_str();
    const std::string model = options.contains("model") && options.at("model").is_string()
                                  ? options.at("model").get<std::string>()
                                  : std::string();
    if (!vlm_open_path(model.c_str(), &params, &handle, error)) return 0;
    VXSessionState& session = *handle->session;
    session.graph->configure(options);
    session.graph->set_profile(options.value("profile", json(false)) == true);
    const bool stream = options.value("stream", json(false)) == true;
    if (!vlm_generate_from_options(handle, options, stream ? vlm_stream_stdout : nullptr, nullptr,
                                   result, error)) {
      vlm_handle_destroy(handle);
      return 0;
    }
    ok = 1;
    const auto report_path = options.find("report");
    if (report_path != options.end() && report_path->is_string()) {
      json report = session.last_report;
      report["application_wall_ms"] = ms_since(t0);
      report["processor_setup_ms"] = session.processor_ms;
      report["backend_prepare_ms"] = session.backend_ms;
      report["frontend_loading_overlap"] = false;
      report["weight_cache_policy"] = "buffered pread";
      report["loader"] = {{"read_ms", session.read_ms},
                          {"metadata_ms", session.metadata_ms},
                          {"slot_setup_ms", session.slot_ms},
                          {"loaded_ms", session.read_ms + session.metadata_ms + session.slot_ms}};
      report["prompt"] = options.contains("prompt") ? options.at("prompt") : json(nullptr);
      report["image"] = options.contains("image") ? options.at("image") : json(nullptr);
      const std::string path = report_path->get<std::string>();
      const std::string dir = parent_of(path);
      if (!dir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec || !std::filesystem::is_directory(dir, ec)) {
          raise(kVlmDomainInference, "Report directory");
        }
      }
      if (!write_json_file(path, report)) raise(kVlmDomainInference, "Write generation report");
    }
  } catch (...) {
    ok = 0;
    vlm_result_clear(result);
    vlm_error_from_exception(std::current_exception(), error);
  }
  vlm_handle_destroy(handle);
  return ok;
}

int vlm_cli_generate(const json& options) {
  VlmResult result{};
  VlmError error{};
  const int ok = vlm_generate_with_report(options, &result, &error);
  if (ok) {
    const bool stream = options.is_object() && options.value("stream", json(false)) == true;
    if (!stream && result.answer != nullptr) {
      std::fwrite(result.answer, 1, static_cast<size_t>(result.answer_length), stdout);
    }
    std::fputs("\n", stdout);
    std::fflush(stdout);
  } else {
    std::fprintf(stderr, "vexa: [%u] %s\n", error.code, error.message);
  }
  vlm_result_clear(&result);
  return ok;
}

}  // namespace vexa
