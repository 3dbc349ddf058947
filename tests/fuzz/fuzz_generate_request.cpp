// Generation requests against the tiny test model: the first byte picks the door, the rest is a
// JSON document. 'o': an options dictionary for the command-line runner; 'c': a chat request
// through the C API (prompt, messages, sampling, stops, schema, amount, an optional generated
// frame, plain or streamed); 'f': a tensor case document of a request file. Every input must
// end in a result or an error code, never a crash, hang or leak. Answers are capped at a few
// tokens and images at a few views so each input runs in milliseconds.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <zlib.h>

#include "generative/generation_case.h"
#include "generative/request_runner.h"
#include "generative/tensor_dump.h"
#include "gpu/vx_graph.h"
#include "tests/support/tiny_vlm.h"
#include "tests/support/vlm_model.h"
#include "vexa/vexa.h"

namespace {

using nlohmann::json;

constexpr uint64_t kMaxTokens = 8;
constexpr uint64_t kMaxEdge = 1024;
constexpr uint32_t kMaxFrameSide = 96;
constexpr size_t kMaxDocumentBytes = 1 << 16;
// As deep as the front ends let a document be (they refuse deeper ones when they parse).
constexpr int kMaxDepth = 512;

void put_be32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 3; i >= 0; --i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void png_chunk(std::vector<uint8_t>* png, const char* type, const std::vector<uint8_t>& data) {
  put_be32(png, static_cast<uint32_t>(data.size()));
  const size_t start = png->size();
  png->insert(png->end(), type, type + 4);
  png->insert(png->end(), data.begin(), data.end());
  put_be32(png, static_cast<uint32_t>(crc32(0, png->data() + start, static_cast<uInt>(4 + data.size()))));
}

// An 8-bit RGB PNG of a smooth pattern.
std::vector<uint8_t> pattern_png(uint32_t width, uint32_t height) {
  std::vector<uint8_t> raw;
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);
    for (uint32_t x = 0; x < width * 3; ++x) raw.push_back(static_cast<uint8_t>((x * 7 + y * 3) & 0xFF));
  }
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> z(n);
  compress(z.data(), &n, raw.data(), static_cast<uLong>(raw.size()));
  z.resize(n);
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<uint8_t> ihdr;
  put_be32(&ihdr, width);
  put_be32(&ihdr, height);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
  png_chunk(&png, "IHDR", ihdr);
  png_chunk(&png, "IDAT", z);
  png_chunk(&png, "IEND", {});
  return png;
}

struct Harness {
  std::string dir;
  std::string model_path;
  std::string image_path;  // every image path of an input is replaced by this one
  vexa::VlmHandle* handle = nullptr;
  vexa_session* session = nullptr;
  vexa::testing::HostInputs case_inputs;

  Harness() {
    char pattern[] = "/tmp/vexa-fuzz-gen-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir = pattern;
    model_path = dir + "/tiny.vexa";
    vexa::testing::VlmModelInfo info;
    std::string error;
    if (!vexa::testing::write_vlm_model_file(
            vexa::testing::tiny_vlm_desc(vexa::testing::VlmWeights::fp16), model_path, &info,
            &error)) {
      std::fprintf(stderr, "fuzz_generate_request: %s\n", error.c_str());
      return;
    }
    // A small PNG as the one image file inputs may name.
    image_path = dir + "/view.png";
    const std::vector<uint8_t> png = pattern_png(48, 32);
    std::ofstream(image_path, std::ios::binary)
        .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    vexa::VlmOpenParams params = vexa::vlm_open_params_default();
    params.activation_fp16 = 1;
    vexa::VlmError e{};
    if (!vexa::vlm_open_path(model_path.c_str(), &params, &handle, &e)) {
      std::fprintf(stderr, "fuzz_generate_request: %s\n", e.message);
      return;
    }
    session = vexa_session_new(nullptr);
    vexa_session_set_activation_fp16(session, 1);
    if (vexa_session_open(session, model_path.data(), model_path.size()) != 1) {
      std::fprintf(stderr, "fuzz_generate_request: session open failed\n");
    }
    vexa::testing::TinyVlmPrompt prompt;
    if (vexa::testing::load_tiny_vlm_prompt(&prompt, &error)) {
      case_inputs = vexa::testing::tiny_vlm_prefill_inputs(
          prompt, vexa::testing::tiny_vlm_desc(vexa::testing::VlmWeights::fp16),
          vexa::testing::Activation::fp16, false);
      for (const auto& [name, t] : case_inputs) {
        std::ofstream(dir + "/" + vexa::vlm_dump_file_name(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(t.bytes.data()),
                   static_cast<std::streamsize>(t.bytes.size()));
      }
    }
  }
};

Harness& harness() {
  static Harness h;
  return h;
}

void cap_number(json& doc, const char* key, uint64_t most) {
  auto it = doc.find(key);
  if (it != doc.end() && it->is_number() && !(it->get<double>() <= static_cast<double>(most))) {
    *it = most;
  }
}

// Image paths name the harness's one image; nothing else on the machine is read.
void confine_paths(json& value, const std::string& image) {
  if (value.is_object()) {
    for (auto& [key, v] : value.items()) {
      if ((key == "path" || key == "image") && v.is_string()) {
        v = image;
      } else {
        confine_paths(v, image);
      }
    }
  } else if (value.is_array()) {
    for (json& v : value) confine_paths(v, image);
  }
}

void run_options(Harness& h, json doc) {
  if (doc.is_object()) {
    cap_number(doc, "max_new_tokens", kMaxTokens);
    cap_number(doc, "image_longest_edge", kMaxEdge);
    doc.erase("report");
    doc.erase("model");
  }
  confine_paths(doc, h.image_path);
  vexa::VlmResult result{};
  vexa::VlmError error{};
  (void)vexa::vlm_generate_from_options(h.handle, doc, nullptr, nullptr, &result, &error);
  vexa::vlm_result_clear(&result);
}

std::string text_field(const json& doc, const char* key) {
  auto it = doc.find(key);
  return it != doc.end() && it->is_string() ? it->get<std::string>() : std::string();
}

double number_field(const json& doc, const char* key, double fallback) {
  auto it = doc.find(key);
  return it != doc.end() && it->is_number() ? it->get<double>() : fallback;
}

void run_chat(Harness& h, const json& doc) {
  if (!doc.is_object() || h.session == nullptr) return;
  vexa_input* in = vexa_input_new();
  vexa_output* out = vexa_output_new();
  vexa_frame* frame = vexa_frame_new();
  const std::string prompt = text_field(doc, "prompt");
  vexa_input_set_prompt(in, prompt.data(), prompt.size());
  if (auto m = doc.find("messages"); m != doc.end() && m->is_array()) {
    for (const json& msg : *m) {
      const std::string role = text_field(msg, "role");
      const std::string content = text_field(msg, "content");
      vexa_input_add_message(in, role.data(), role.size(), content.data(), content.size());
    }
  }
  if (auto stops = doc.find("stop"); stops != doc.end() && stops->is_array()) {
    for (const json& s : *stops) {
      if (s.is_string()) vexa_input_add_stop(in, s.get_ref<const std::string&>().data(), s.get_ref<const std::string&>().size());
    }
  }
  const std::string schema = text_field(doc, "json_schema");
  vexa_input_set_json_schema(in, schema.data(), schema.size());
  vexa_input_set_amount_decimals(in, static_cast<int32_t>(number_field(doc, "amount_decimals", 0)));
  const double tokens = number_field(doc, "max_tokens", 2);
  vexa_input_set_max_tokens(in, static_cast<uint32_t>(tokens >= 0 && tokens <= kMaxTokens ? tokens : kMaxTokens));
  vexa_input_set_temperature(in, static_cast<float>(number_field(doc, "temperature", 0)));
  vexa_input_set_top_p(in, static_cast<float>(number_field(doc, "top_p", 1)));
  vexa_input_set_min_p(in, static_cast<float>(number_field(doc, "min_p", 0)));
  vexa_input_set_top_k(in, static_cast<uint32_t>(number_field(doc, "top_k", 0)));
  vexa_input_set_repeat_penalty(in, static_cast<float>(number_field(doc, "repeat_penalty", 1)));
  vexa_input_set_seed(in, static_cast<uint64_t>(number_field(doc, "seed", 0)));
  const double tile = number_field(doc, "tile", 512);
  vexa_input_set_image_tiled(in, doc.value("tiled", false) ? 1 : 0,
                             static_cast<uint32_t>(tile >= 0 && tile <= kMaxEdge ? tile : 512));
  if (auto f = doc.find("frame"); f != doc.end() && f->is_object()) {
    const auto w = static_cast<uint32_t>(number_field(*f, "width", 8));
    const auto hgt = static_cast<uint32_t>(number_field(*f, "height", 8));
    const auto format = static_cast<uint32_t>(number_field(*f, "format", 1));
    if (w >= 1 && hgt >= 1 && w <= kMaxFrameSide && hgt <= kMaxFrameSide) {
      std::vector<uint8_t> pixels(static_cast<size_t>(w) * hgt * 4);
      for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 31);
      const uint64_t bpp = format == 5 ? 1 : format >= 3 ? 4 : 3;
      if (vexa_frame_set_pixels(frame, pixels.data(), pixels.size(), w, hgt, w * bpp, format, 1, 1) == 1) {
        vexa_input_set_frame(in, frame);
      }
    }
  }
  if (doc.value("stream", false)) {
    if (vexa_session_start(h.session, in, out) == 1) {
      while (vexa_session_next(h.session, out) == 1) {
      }
    }
  } else {
    (void)vexa_session_run(h.session, in, out);
  }
  if (doc.value("reset", false)) (void)vexa_session_reset(h.session);
  vexa_frame_free(frame);
  vexa_output_free(out);
  vexa_input_free(in);
}

void run_case_document(Harness& h, json doc) {
  if (!doc.is_object() || h.handle == nullptr) return;
  cap_number(doc, "max_new_tokens", kMaxTokens);
  doc["trace"] = false;
  // Input files are names inside the harness folder.
  if (auto inputs = doc.find("inputs"); inputs != doc.end() && inputs->is_object()) {
    for (auto& [name, d] : inputs->items()) {
      if (!d.is_object()) continue;
      auto file = d.find("file");
      if (file != d.end() && file->is_string()) {
        *file = std::filesystem::path(file->get<std::string>()).filename().string();
      }
    }
  }
  try {
    const vexa::GenerationCase c = vexa::generation_case_from_json(doc);
    (void)vexa::vlm_run_case(*h.handle->session->graph, c, &h.dir, nullptr, false);
  } catch (const std::exception&) {
  }
  h.handle->session->graph->clear_pool();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = harness();
  if (h.handle == nullptr || size < 1 || size > kMaxDocumentBytes) return 0;
  json doc;
  try {
    doc = json::parse(data + 1, data + size, [](int depth, json::parse_event_t, json&) {
      if (depth > kMaxDepth) throw std::runtime_error("too deep");
      return true;
    });
  } catch (const std::exception&) {
    return 0;
  }
  switch (data[0]) {
    case 'o': run_options(h, std::move(doc)); break;
    case 'c': run_chat(h, doc); break;
    case 'f': run_case_document(h, std::move(doc)); break;
    default: break;
  }
  return 0;
}
