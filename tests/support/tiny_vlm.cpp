#include "tests/support/tiny_vlm.h"

#include <cinttypes>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#include "tests/support/half_bits.h"

namespace vexa::testing {
namespace {

constexpr uint64_t kViewSide = kVisionImageSide;

// Whitespace-separated words of each line; '#' lines and blank lines are skipped.
std::vector<std::vector<std::string>> read_lines(const std::string& path, std::string* error) {
  std::vector<std::vector<std::string>> lines;
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return lines;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (!w.empty()) lines.push_back(std::move(w));
  }
  return lines;
}

bool parse_i64(const std::string& s, int64_t* out) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || errno != 0) return false;
  *out = v;
  return true;
}

bool parse_u64(const std::string& s, uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s.c_str(), &end, 10);
  if (s.empty() || s[0] == '-' || *end != '\0' || errno != 0) return false;
  *out = v;
  return true;
}

bool parse_f64(const std::string& s, double* out) {
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

bool parse_ids(const std::vector<std::string>& w, std::vector<int64_t>* out) {
  out->clear();
  for (size_t i = 1; i < w.size(); ++i) {
    int64_t v;
    if (!parse_i64(w[i], &v)) return false;
    out->push_back(v);
  }
  return true;
}

bool parse_pairs(const std::vector<std::string>& w, std::vector<std::pair<int64_t, float>>* out) {
  out->clear();
  for (size_t i = 1; i < w.size(); ++i) {
    const size_t colon = w[i].find(':');
    int64_t id;
    double v;
    if (colon == std::string::npos || !parse_i64(w[i].substr(0, colon), &id) ||
        !parse_f64(w[i].substr(colon + 1), &v)) {
      return false;
    }
    out->emplace_back(id, static_cast<float>(v));
  }
  return true;
}

bool parse_weights(const std::string& s, VlmWeights* out) {
  if (s == "fp16") {
    *out = VlmWeights::fp16;
  } else if (s == "mixed") {
    *out = VlmWeights::mixed_q8;
  } else {
    return false;
  }
  return true;
}

uint32_t element_bytes(uint32_t dtype) { return dtype == 1 ? 2 : dtype == 2 ? 4 : 8; }

HostTensor make_tensor(std::vector<uint64_t> shape, uint32_t dtype) {
  HostTensor t;
  uint64_t count = 1;
  for (uint64_t d : shape) count *= d;
  t.shape = std::move(shape);
  t.dtype = dtype;
  t.bytes.assign(count * element_bytes(dtype), 0);
  return t;
}

HostTensor int64_tensor(std::vector<uint64_t> shape, const std::vector<int64_t>& values) {
  HostTensor t = make_tensor(std::move(shape), 3);
  std::memcpy(t.bytes.data(), values.data(), t.bytes.size());
  return t;
}

void store_activation(HostTensor* t, uint64_t i, float v) {
  if (t->dtype == 1) {
    const uint16_t h = f32_to_f16_rne(v);
    std::memcpy(t->bytes.data() + 2 * i, &h, 2);
  } else {
    std::memcpy(t->bytes.data() + 4 * i, &v, 4);
  }
}

uint32_t activation_dtype(Activation a) { return a == Activation::fp16 ? 1 : 2; }

// The normalised view as request preparation computes it: f32(byte x rescale) with the rescale
// in f64, then (x - mean) / std in f32 with mean = std = 0.5.
HostTensor pixel_values(Activation a) {
  HostTensor t = make_tensor({1, 3, kViewSide, kViewSide}, activation_dtype(a));
  const std::vector<uint8_t> rgb = tiny_vlm_view_rgb();
  const double rescale = 1.0 / 255.0;
  for (uint64_t c = 0; c < 3; ++c) {
    for (uint64_t y = 0; y < kViewSide; ++y) {
      for (uint64_t x = 0; x < kViewSide; ++x) {
        const float scaled = static_cast<float>(rgb[(y * kViewSide + x) * 3 + c] * rescale);
        store_activation(&t, (c * kViewSide + y) * kViewSide + x, (scaled - 0.5f) / 0.5f);
      }
    }
  }
  return t;
}

void add_empty_vision(HostInputs* in, Activation a) {
  const uint32_t act = activation_dtype(a);
  (*in)["pixel_values"] = make_tensor({0, 3, kViewSide, kViewSide}, act);
  (*in)["patch_position_ids"] = make_tensor({0, kVisionPatches}, 3);
  (*in)["vision_attention_mask"] = make_tensor({0, 1, kVisionPatches, kVisionPatches}, act);
  (*in)["image_token_positions"] = make_tensor({0}, 3);
}

}  // namespace

const TinyVlmGoldens::Model* TinyVlmGoldens::model(VlmWeights weights) const {
  for (const Model& m : models) {
    if (m.weights == weights) return &m;
  }
  return nullptr;
}

const TinyVlmRun* TinyVlmGoldens::run(VlmWeights weights, Activation activation) const {
  for (const TinyVlmRun& r : runs) {
    if (r.weights == weights && r.activation == activation) return &r;
  }
  return nullptr;
}

std::string tiny_vlm_fixture_dir() { return std::string(VEXA_SUPPORT_FIXTURES_DIR) + "/tiny_vlm"; }

bool load_tiny_vlm_prompt(TinyVlmPrompt* out, std::string* error) {
  const std::string path = tiny_vlm_fixture_dir() + "/inputs.txt";
  const auto lines = read_lines(path, error);
  if (!error->empty()) return false;
  TinyVlmPrompt p;
  uint64_t prompt_tokens = 0;
  for (const auto& w : lines) {
    bool ok = w.size() >= 2;
    if (!ok) {
    } else if (w[0] == "prompt_tokens") {
      ok = parse_u64(w[1], &prompt_tokens);
    } else if (w[0] == "input_ids") {
      ok = parse_ids(w, &p.input_ids);
    } else if (w[0] == "image_token_positions") {
      ok = parse_ids(w, &p.image_token_positions);
    } else if (w[0] == "pixel_checksum_fp16") {
      ok = parse_u64(w[1], &p.pixel_checksum_fp16);
    } else if (w[0] == "pixel_checksum_fp32") {
      ok = parse_u64(w[1], &p.pixel_checksum_fp32);
    } else if (w[0] == "decode_steps") {
      ok = parse_u64(w[1], &p.decode_steps);
    }
    if (!ok) {
      *error = path + ": bad line starting " + w[0];
      return false;
    }
  }
  if (p.input_ids.empty() || p.input_ids.size() != prompt_tokens ||
      p.image_token_positions.size() != kImageRowsPerView || p.decode_steps == 0) {
    *error = path + ": incomplete";
    return false;
  }
  for (int64_t pos : p.image_token_positions) {
    if (pos < 0 || static_cast<uint64_t>(pos) >= p.input_ids.size()) {
      *error = path + ": image token position out of range";
      return false;
    }
  }
  *out = std::move(p);
  return true;
}

bool load_tiny_vlm_goldens(TinyVlmGoldens* out, std::string* error) {
  const std::string path = tiny_vlm_fixture_dir() + "/goldens.txt";
  const auto lines = read_lines(path, error);
  if (!error->empty()) return false;
  TinyVlmGoldens g;
  auto bad = [&](const std::string& what) {
    *error = path + ": " + what;
    return false;
  };
  for (const auto& w : lines) {
    if (w[0] == "model") {
      TinyVlmGoldens::Model m{};
      if (w.size() != 6 || !parse_weights(w[1], &m.weights) || w[2] != "length" ||
          !parse_u64(w[3], &m.length) || w[4] != "digest" || w[5].size() != 32) {
        return bad("bad model line");
      }
      m.digest_hex = w[5];
      g.models.push_back(m);
    } else if (w[0] == "config") {
      TinyVlmRun r;
      if (w.size() != 5 || w[1].rfind("weights=", 0) != 0 || w[2].rfind("activation=", 0) != 0 ||
          !parse_weights(w[1].substr(8), &r.weights) || w[3] != "spread" ||
          !parse_f64(w[4], &r.spread)) {
        return bad("bad config line");
      }
      const std::string act = w[2].substr(11);
      if (act != "fp16" && act != "fp32") return bad("bad activation");
      r.activation = act == "fp16" ? Activation::fp16 : Activation::fp32;
      g.runs.push_back(std::move(r));
    } else if (g.runs.empty()) {
      return bad("data before the first config line");
    } else if (w[0] == "tokens") {
      if (!parse_ids(w, &g.runs.back().tokens)) return bad("bad tokens line");
    } else if (w[0] == "step") {
      TinyVlmStep s;
      uint64_t index;
      if (w.size() != 8 || !parse_u64(w[1], &index) || index != g.runs.back().steps.size() ||
          w[2] != "margin" || !parse_f64(w[3], &s.margin) || w[4] != "sum" ||
          !parse_f64(w[5], &s.sum) || w[6] != "norm" || !parse_f64(w[7], &s.norm)) {
        return bad("bad step line");
      }
      g.runs.back().steps.push_back(std::move(s));
    } else if (w[0] == "top" || w[0] == "sample") {
      if (g.runs.back().steps.empty()) return bad(w[0] + " before its step");
      TinyVlmStep& s = g.runs.back().steps.back();
      if (!parse_pairs(w, w[0] == "top" ? &s.top : &s.sample)) return bad("bad " + w[0] + " line");
    } else {
      return bad("unknown line " + w[0]);
    }
  }
  for (const TinyVlmRun& r : g.runs) {
    if (r.tokens.empty() || r.tokens.size() != r.steps.size()) {
      return bad("tokens and steps differ");
    }
    for (const TinyVlmStep& s : r.steps) {
      if (s.top.size() < 2 || s.sample.empty()) return bad("step without logits");
    }
  }
  if (g.models.empty() || g.runs.empty()) return bad("no models or runs");
  *out = std::move(g);
  return true;
}

std::vector<uint8_t> tiny_vlm_view_rgb() {
  std::vector<uint8_t> rgb(kViewSide * kViewSide * 3);
  for (uint64_t y = 0; y < kViewSide; ++y) {
    for (uint64_t x = 0; x < kViewSide; ++x) {
      for (uint64_t c = 0; c < 3; ++c) {
        rgb[(y * kViewSide + x) * 3 + c] =
            static_cast<uint8_t>((5 * x + 3 * y + 80 * c + (x * y) / 64) % 256);
      }
    }
  }
  return rgb;
}

HostInputs tiny_vlm_prefill_inputs(const TinyVlmPrompt& prompt, const VlmModelDesc& desc,
                                   Activation activation, bool explicit_mask) {
  const uint64_t n = prompt.input_ids.size();
  const uint32_t act = activation_dtype(activation);
  HostInputs in;
  in["input_ids"] = int64_tensor({1, n}, prompt.input_ids);
  std::vector<int64_t> positions(n);
  for (uint64_t i = 0; i < n; ++i) positions[i] = static_cast<int64_t>(i);
  in["position_ids"] = int64_tensor({1, n}, positions);
  if (explicit_mask) {
    HostTensor mask = make_tensor({1, 1, n, n}, act);
    const float masked =
        activation == Activation::fp16 ? -65504.0f : std::numeric_limits<float>::lowest();
    for (uint64_t r = 0; r < n; ++r) {
      for (uint64_t c = r + 1; c < n; ++c) store_activation(&mask, r * n + c, masked);
    }
    in["text_attention_mask"] = std::move(mask);
  } else {
    in["text_attention_mask"] = make_tensor({1, 1, 0, 0}, act);
  }
  in["pixel_values"] = pixel_values(activation);
  std::vector<int64_t> patches(kVisionPatches);
  for (uint64_t i = 0; i < kVisionPatches; ++i) patches[i] = static_cast<int64_t>(i);
  in["patch_position_ids"] = int64_tensor({1, kVisionPatches}, patches);
  in["vision_attention_mask"] = make_tensor({1, 1, kVisionPatches, kVisionPatches}, act);
  in["image_token_positions"] =
      int64_tensor({prompt.image_token_positions.size()}, prompt.image_token_positions);
  for (uint64_t i = 0; i < desc.text.layers; ++i) {
    for (const char* kind : {"past_key.", "past_value."}) {
      in[kind + std::to_string(i)] =
          make_tensor({1, desc.text.kv_heads, 0, desc.text.head_dim}, act);
    }
  }
  return in;
}

HostInputs tiny_vlm_decode_inputs(const TinyVlmPrompt& prompt, Activation activation,
                                  bool explicit_mask, uint64_t step, int64_t token) {
  const uint64_t n = prompt.input_ids.size();
  HostInputs in;
  in["input_ids"] = int64_tensor({1, 1}, {token});
  in["position_ids"] = int64_tensor({1, 1}, {static_cast<int64_t>(n + step - 1)});
  // The last row of the causal prompt mask is all zeros, and so is every position after it.
  in["text_attention_mask"] = make_tensor(
      explicit_mask ? std::vector<uint64_t>{1, 1, 1, n + step} : std::vector<uint64_t>{1, 1, 0, 0},
      activation_dtype(activation));
  add_empty_vision(&in, activation);
  return in;
}

uint64_t bit_pattern_checksum(const HostTensor& t) {
  uint64_t sum = 0;
  const uint32_t size = element_bytes(t.dtype);
  for (size_t i = 0; i + size <= t.bytes.size(); i += size) {
    uint64_t word = 0;
    std::memcpy(&word, t.bytes.data() + i, size);
    sum += word;
  }
  return sum;
}

std::string compare_tiny_vlm_step(const TinyVlmStep& golden, const float* logits, uint64_t vocab,
                                  double tolerance) {
  std::ostringstream diff;
  uint64_t best = 0;
  double norm = 0;
  for (uint64_t i = 0; i < vocab; ++i) {
    if (!std::isfinite(logits[i])) {
      diff << "logit " << i << " is not finite; ";
      return diff.str();
    }
    if (logits[i] > logits[best]) best = i;
    norm += static_cast<double>(logits[i]) * logits[i];
  }
  if (static_cast<int64_t>(best) != golden.top[0].first) {
    diff << "argmax " << best << " instead of " << golden.top[0].first << "; ";
  }
  for (const auto* list : {&golden.top, &golden.sample}) {
    for (const auto& [id, value] : *list) {
      if (id < 0 || static_cast<uint64_t>(id) >= vocab) {
        diff << "golden id " << id << " outside the vocabulary; ";
      } else if (std::fabs(logits[id] - value) > tolerance) {
        diff << "logit " << id << " = " << logits[id] << " instead of " << value << "; ";
      }
    }
  }
  norm = std::sqrt(norm);
  if (std::fabs(norm - golden.norm) > tolerance * std::sqrt(static_cast<double>(vocab))) {
    diff << "norm " << norm << " instead of " << golden.norm << "; ";
  }
  return diff.str();
}

}  // namespace vexa::testing
