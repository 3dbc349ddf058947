#include "generative/request_prepare.h"

#include <array>
#include <cstring>
#include <limits>

#include "core/clock.h"
#include "generative/chat_template.h"
#include "generative/image_views.h"
#include "generative/tokenizer.h"
#include "platform/half.h"

namespace vexa {

using nlohmann::json;

namespace {

constexpr uint32_t kMinTiledEdge = 512;
constexpr uint32_t kMaxTiledEdge = 2048;
constexpr uint64_t kMaxLayers = 128;
// The masking value above the diagonal: the lowest finite value of the activation type.
constexpr float kMaskedF16 = -65504.0f;
constexpr float kMaskedF32 = std::numeric_limits<float>::lowest();

// One element of the activation dtype, as stored.
struct ActivationValue {
  uint8_t bytes[4] = {};
};

ActivationValue activation_value(uint32_t dtype, float v) {
  ActivationValue out;
  if (dtype == kDtypeF16) {
    const uint16_t h = f16_round_even(v);
    std::memcpy(out.bytes, &h, sizeof h);
  } else {
    std::memcpy(out.bytes, &v, sizeof v);
  }
  return out;
}

void store_i64(uint8_t* data, uint64_t index, int64_t v) {
  std::memcpy(data + index * sizeof v, &v, sizeof v);
}

// A count read from the model's configuration that becomes a tensor dimension.
uint32_t config_dimension(const json& value) {
  const auto v = value.get<uint64_t>();
  require(v <= kMaxTensorElements, "Tensor too large");
  return static_cast<uint32_t>(v);
}

void fill_attention_mask(PreparedTensor& mask, uint64_t n, uint32_t dtype) {
  // Row i is i + 1 zeros then n - i - 1 masked values: a window of n elements sliding over a
  // pattern of n zeros followed by n - 1 masked values.
  const uint64_t size = prepared_element_size(dtype);
  const ActivationValue masked = activation_value(dtype, dtype == kDtypeF16 ? kMaskedF16 : kMaskedF32);
  std::vector<uint8_t> pattern((2 * n - 1) * size, 0);
  for (uint64_t i = n; i < 2 * n - 1; ++i) std::memcpy(&pattern[i * size], masked.bytes, size);
  for (uint64_t row = 0; row < n; ++row) {
    std::memcpy(mask.data.data() + row * n * size, &pattern[(n - 1 - row) * size], n * size);
  }
}

template <typename Element>
void fill_view_planes(PreparedTensor& pixels, const std::vector<ImageBuffer>& views, uint32_t c,
                      const std::array<ActivationValue, 256>& table) {
  const uint64_t plane = uint64_t{kViewSide} * kViewSide;
  std::array<Element, 256> values;
  for (size_t b = 0; b < 256; ++b) std::memcpy(&values[b], table[b].bytes, sizeof(Element));
  for (size_t v = 0; v < views.size(); ++v) {
    const uint8_t* rgb = views[v].pixels.data() + c;
    uint8_t* out = pixels.data.data() + (v * 3 + c) * plane * sizeof(Element);
    for (uint64_t i = 0; i < plane; ++i) {
      std::memcpy(out + i * sizeof(Element), &values[rgb[3 * i]], sizeof(Element));
    }
  }
}

void fill_pixel_values(PreparedTensor& pixels, const std::vector<ImageBuffer>& views,
                       const Processor& processor, uint32_t dtype) {
  const json& pre = processor.preprocessor_config;
  const double rescale = pre.at("rescale_factor").get<double>();
  const json& mean = pre.at("image_mean");
  const json& std_dev = pre.at("image_std");
  for (uint32_t c = 0; c < 3; ++c) {
    // Every byte value's normalised element, computed once per channel: the byte is rescaled
    // in f64 and rounded to f32 once, then centred and scaled in f32.
    const float m = mean.at(c).get<float>();
    const float s = std_dev.at(c).get<float>();
    std::array<ActivationValue, 256> table;
    for (uint32_t b = 0; b < 256; ++b) {
      const auto scaled = static_cast<float>(b * rescale);
      table[b] = activation_value(dtype, (scaled - m) / s);
    }
    if (dtype == kDtypeF16) {
      fill_view_planes<uint16_t>(pixels, views, c, table);
    } else {
      fill_view_planes<float>(pixels, views, c, table);
    }
  }
}

class StageClock {
 public:
  explicit StageClock(json* stages) : stages_(stages), mark_(monotonic_seconds()) {}
  void end(const char* name) {
    const double now = monotonic_seconds();
    (*stages_)[name] = (now - mark_) * 1000.0;
    mark_ = now;
  }

 private:
  json* stages_;
  double mark_;
};

}  // namespace

uint64_t tensor_element_count(const std::vector<uint32_t>& shape) {
  require(shape.size() <= kMaxTensorRank, "Tensor rank > 6");
  uint64_t count = 1;
  for (const uint32_t d : shape) {
    require(d <= kMaxTensorElements, "Tensor too large");
    count *= d;
    require(count <= kMaxTensorElements, "Tensor too large");
  }
  return count;
}

uint64_t prepared_element_size(uint32_t dtype) {
  switch (dtype) {
    case kDtypeF16: return 2;
    case kDtypeF32: return 4;
    case kDtypeI64: return 8;
    default: throw std::runtime_error("Only FP16 activations and int64 indices supported");
  }
}

PreparedTensor make_tensor(const std::vector<uint32_t>& shape, uint32_t dtype) {
  const uint64_t count = tensor_element_count(shape);
  const uint64_t size = prepared_element_size(dtype);
  PreparedTensor t;
  t.shape = shape;
  t.dtype = dtype;
  t.data.resize(static_cast<size_t>(count * size));  // at most 2^33 bytes
  return t;
}

PreparedTensor& add_prepared_tensor(PreparedInputs& inputs, uint32_t activation_dtype,
                                    const std::string& name, const std::vector<uint32_t>& shape,
                                    uint32_t dtype) {
  if (const auto it = inputs.tensors.find(name); it != inputs.tensors.end()) return it->second;
  return inputs.tensors.emplace(name, make_tensor(shape, dtype == 0 ? activation_dtype : dtype))
      .first->second;
}

PreparedInputs prepare_request(const Processor& processor, const ProcessorOptions& options) {
  PreparedInputs out;
  StageClock clock(&out.stages_ms);
  require(options.context_length >= 1 && options.context_length <= kMaxContextTokens &&
              options.max_new_tokens >= 1 && options.max_new_tokens <= options.context_length,
          "Invalid context/output budget");
  const uint32_t edge = options.image_longest_edge;
  require((options.image_detail == "single" && edge == kViewSide) ||
              (options.image_detail == "tiled" && edge >= kMinTiledEdge && edge <= kMaxTiledEdge),
          "Invalid image detail/edge");

  ImageViewSet views;
  out.rendered_prompt = render_chat_prompt(
      processor, options, [&](const json& item, std::string& prompt) {
        append_image_views(processor, options, item, views, prompt);
      });
  require(views.view_count <= std::numeric_limits<uint32_t>::max(), "Tensor too large");
  out.image_views = static_cast<uint32_t>(views.view_count);
  out.image_rows = views.rows;
  out.image_cols = views.cols;
  out.image_orientations = std::move(views.orientations);
  clock.end("image_decode_resize_ms");

  out.prompt_token_ids = tokenizer_encode(processor, out.rendered_prompt);
  const uint64_t n = out.prompt_token_ids.size();
  require(n >= 1 && (options.count_only || n <= options.context_length - options.max_new_tokens),
          "Prompt plus output exceeds context budget");
  clock.end("prompt_tokenize_ms");
  if (options.count_only) return out;

  // n <= context_length <= 8192 from here on.
  const uint32_t act = options.activation_policy != 0 ? kDtypeF16 : kDtypeF32;
  const auto tokens = static_cast<uint32_t>(n);
  const uint32_t v = out.image_views;

  PreparedTensor& ids = add_prepared_tensor(out, act, "input_ids", {1, tokens}, kDtypeI64);
  for (uint64_t i = 0; i < n; ++i) store_i64(ids.data.data(), i, out.prompt_token_ids[i]);
  PreparedTensor& positions = add_prepared_tensor(out, act, "position_ids", {1, tokens}, kDtypeI64);
  for (uint64_t i = 0; i < n; ++i) store_i64(positions.data.data(), i, static_cast<int64_t>(i));
  if (options.causal_mask) {
    add_prepared_tensor(out, act, "text_attention_mask", {1, 1, 0, 0}, 0);
  } else {
    fill_attention_mask(add_prepared_tensor(out, act, "text_attention_mask",
                                            {1, 1, tokens, tokens}, 0),
                        n, act);
  }
  fill_pixel_values(add_prepared_tensor(out, act, "pixel_values", {v, 3, kViewSide, kViewSide}, 0),
                    views.views, processor, act);

  const uint64_t patch = processor.config.at("vision_config").at("patch_size").get<uint64_t>();
  require(patch != 0 && kViewSide % patch == 0, "Patch size");
  const auto patches = static_cast<uint32_t>((kViewSide / patch) * (kViewSide / patch));
  PreparedTensor& patch_ids =
      add_prepared_tensor(out, act, "patch_position_ids", {v, patches}, kDtypeI64);
  const uint64_t patch_count = uint64_t{v} * patches;
  for (uint64_t i = 0; i < patch_count; ++i) {
    store_i64(patch_ids.data.data(), i, static_cast<int64_t>(i % patches));
  }
  add_prepared_tensor(out, act, "vision_attention_mask", {v, 1, patches, patches}, 0);

  const auto image_token = processor.config.at("image_token_id").get<int64_t>();
  std::vector<int64_t> image_positions;
  for (uint64_t i = 0; i < n; ++i) {
    if (out.prompt_token_ids[i] == image_token) image_positions.push_back(static_cast<int64_t>(i));
  }
  require(image_positions.size() == uint64_t{processor.image_seq_len} * v, "Image token count");
  PreparedTensor& image_ids = add_prepared_tensor(
      out, act, "image_token_positions", {static_cast<uint32_t>(image_positions.size())}, kDtypeI64);
  for (size_t i = 0; i < image_positions.size(); ++i) {
    store_i64(image_ids.data.data(), i, image_positions[i]);
  }

  const json& text = processor.config.at("text_config");
  const uint64_t layers = text.at("num_hidden_layers").get<uint64_t>();
  require(layers >= 1 && layers <= kMaxLayers, "Layer count");
  const uint32_t kv_heads = config_dimension(text.at("num_key_value_heads"));
  const uint32_t head_dim = config_dimension(text.at("head_dim"));
  for (uint64_t i = 0; i < layers; ++i) {
    for (const char* kind : {"key", "value"}) {
      add_prepared_tensor(out, act, std::string("past_") + kind + "." + std::to_string(i),
                          {1, kv_heads, 0, head_dim}, 0);
    }
  }
  clock.end("tensor_prepare_ms");
  return out;
}

json prepared_inputs_summary(const PreparedInputs& inputs) {
  json tensors = json::object();
  for (const auto& [name, t] : inputs.tensors) {
    tensors[name] = {{"shape", t.shape}, {"dtype", t.dtype}};
  }
  return {{"inputs", std::move(tensors)},
          {"prompt_token_ids", inputs.prompt_token_ids},
          {"rendered_prompt", inputs.rendered_prompt},
          {"image_views", inputs.image_views},
          {"image_rows", inputs.image_rows},
          {"image_cols", inputs.image_cols},
          {"image_orientations", inputs.image_orientations},
          {"stages_ms", inputs.stages_ms}};
}

}  // namespace vexa
