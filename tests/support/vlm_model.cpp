#include "tests/support/vlm_model.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "core/container_format.h"
#include "core/container_writer.h"
#include "tests/support/half_bits.h"
#include "tests/support/seeded_random.h"

namespace vexa::testing {
namespace {

// Executor graph op codes.
enum : uint64_t {
  kOpEmbedding = 1,
  kOpPatchEmbedding = 2,
  kOpAdd = 3,
  kOpLinear = 4,
  kOpLayerNorm = 5,
  kOpRmsNorm = 6,
  kOpGelu = 7,
  kOpSilu = 8,
  kOpMultiply = 9,
  kOpAttention = 10,
  kOpRotary = 11,
  kOpShuffle = 12,
  kOpScatter = 13,
};
constexpr uint64_t kDtypeActivation = 1;  // a graph value of dtype 1 carries the run's precision
constexpr uint64_t kDtypeFp16 = 1;  // stored FP16 weights
constexpr uint64_t kDtypeInt64 = 3;
constexpr uint64_t kDtypeQ8 = 4;
constexpr uint64_t kFlagInput = 1;
constexpr uint64_t kFlagLogits = 2;
constexpr uint64_t kFlagWeight = 4;

uint64_t real_word(double v) { return std::bit_cast<uint64_t>(v); }

std::vector<uint8_t> encode_q8(const std::vector<float>& v, uint64_t rows, uint64_t cols) {
  const uint64_t blocks = (cols + kQ8BlockElements - 1) / kQ8BlockElements;
  std::vector<uint8_t> out(rows * blocks * kQ8BlockBytes, 0);
  for (uint64_t r = 0; r < rows; ++r) {
    for (uint64_t b = 0; b < blocks; ++b) {
      const uint64_t c0 = b * kQ8BlockElements;
      const uint64_t c1 = std::min(cols, c0 + kQ8BlockElements);
      float max_abs = 0.0f;
      for (uint64_t c = c0; c < c1; ++c) max_abs = std::max(max_abs, std::fabs(v[r * cols + c]));
      // A zero block still needs a positive scale to be a valid block.
      const float scale = max_abs > 0.0f ? max_abs / 127.0f : 1.0f;
      uint8_t* block = out.data() + (r * blocks + b) * kQ8BlockBytes;
      for (uint64_t c = c0; c < c1; ++c) {
        long q = std::lrint(v[r * cols + c] / scale);
        q = std::clamp(q, -127L, 127L);  // -128 is not a valid stored byte
        block[c - c0] = static_cast<uint8_t>(static_cast<int8_t>(q));
      }
      std::memcpy(block + kQ8ScaleOffsetBytes, &scale, sizeof scale);
    }
  }
  return out;
}

// How a weight's random values are drawn: uniform, centred on `centre`, with the given
// standard deviation.
struct Init {
  float centre;
  float stddev;
};
Init matrix(uint64_t fan_in, float gain = 1.0f) {
  return {0.0f, gain / std::sqrt(static_cast<float>(fan_in))};
}
constexpr Init kGain{1.0f, 0.1f};
constexpr Init kBias{0.0f, 0.05f};

class GraphBuilder {
 public:
  GraphBuilder(const VlmModelDesc& desc, ContainerWriter* w, VlmModelInfo* info)
      : desc_(desc), w_(w), info_(info), random_(desc.seed) {}

  void group(std::string_view name) {
    if (group_ >= 0 && !group_has_tensor_) {
      fail("group without weights before " + std::string(name));
    }
    w_->begin_group(name);
    ++group_;
    group_has_tensor_ = false;
    decode_group_ = name.rfind("text.", 0) == 0 || name == "lm_head";
  }

  uint64_t input(const std::string& name, uint64_t dtype) {
    return value({name, dtype, kFlagInput, 0});
  }

  uint64_t weight(const std::string& name, std::initializer_list<uint64_t> dims, Init init) {
    const std::vector<uint64_t> shape(dims);
    uint64_t count = 1;
    for (uint64_t d : shape) count *= d;
    std::vector<float> values(count);
    const float amplitude = init.stddev * std::sqrt(3.0f);  // uniform on [-a, a]: std a / sqrt 3
    for (float& x : values) x = init.centre + amplitude * random_.symmetric();
    const uint64_t cols = shape.back();
    const bool q8 = desc_.weights == VlmWeights::mixed_q8 && shape.size() == 2;
    uint64_t tensor = kWriterInvalidIndex;
    uint64_t bytes = 0;
    uint64_t row_bytes = 0;
    if (q8) {
      const std::vector<uint8_t> blocks = encode_q8(values, count / cols, cols);
      tensor = w_->add_tensor_q8(name, shape, blocks.data());
      bytes = blocks.size();
      row_bytes = (cols + kQ8BlockElements - 1) / kQ8BlockElements * kQ8BlockBytes;
    } else {
      std::vector<uint16_t> half(count);
      for (uint64_t i = 0; i < count; ++i) half[i] = f32_to_f16_rne(values[i]);
      tensor = w_->add_tensor_f16(name, shape, half.data());
      bytes = count * 2;
      row_bytes = cols * 2;
    }
    group_has_tensor_ = true;
    info_->stored_weight_bytes += bytes;
    if (name == "text.embed_tokens.weight") {
      info_->decode_weight_bytes += row_bytes;
    } else if (decode_group_) {
      info_->decode_weight_bytes += bytes;
    }
    return value({name, q8 ? kDtypeQ8 : kDtypeFp16, kFlagWeight, tensor});
  }

  uint64_t node(uint64_t op, std::vector<uint64_t> inputs, std::vector<uint64_t> attrs,
                const std::string& output, uint64_t flags = 0) {
    const uint64_t out = value({output, kDtypeActivation, flags, 0});
    add_node({op, static_cast<uint64_t>(group_), std::move(inputs), {out}, std::move(attrs)});
    return out;
  }

  // Attention with a cache: the output and the grown key and value caches.
  uint64_t cached_attention(std::vector<uint64_t> inputs, std::vector<uint64_t> attrs,
                            const std::string& prefix, uint64_t layer) {
    const uint64_t out = value({prefix + "attention", kDtypeActivation, 0, 0});
    const uint64_t keys = value({"present_key." + std::to_string(layer), kDtypeActivation, 0, 0});
    const uint64_t values =
        value({"present_value." + std::to_string(layer), kDtypeActivation, 0, 0});
    add_node({kOpAttention,
              static_cast<uint64_t>(group_),
              std::move(inputs),
              {out, keys, values},
              std::move(attrs)});
    return out;
  }

  void fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
  }

  uint64_t value(const ContainerWriter::ExecValue& v) {
    ++info_->value_count;
    return w_->add_exec_value(v);
  }
  void add_node(const ContainerWriter::ExecNode& n) {
    ++info_->node_count;
    w_->add_exec_node(n);
  }
  const std::string& error() const { return error_; }

 private:
  const VlmModelDesc& desc_;
  ContainerWriter* w_;
  VlmModelInfo* info_;
  SeededRandom random_;
  int64_t group_ = -1;
  bool group_has_tensor_ = false;
  bool decode_group_ = false;
  std::string error_;
};

bool check_shape(const VlmModelDesc& desc, std::string* error) {
  const VlmTextShape& t = desc.text;
  const VlmVisionShape& v = desc.vision;
  auto bad = [&](const char* what) {
    *error = what;
    return false;
  };
  if (t.hidden == 0 || t.layers == 0 || t.layers > 128 || t.heads == 0 || t.kv_heads == 0 ||
      t.head_dim == 0 || t.mlp == 0) {
    return bad("text sizes must be non-zero and at most 128 layers");
  }
  if (t.heads % t.kv_heads != 0) return bad("query heads must be a multiple of key/value heads");
  if (t.head_dim % 2 != 0 || t.head_dim > 256) return bad("head dim must be even and at most 256");
  if (t.hidden % 2 != 0 || t.mlp % 2 != 0) return bad("text widths must be even");
  if (!(t.rope_theta > 0) || !(t.norm_eps > 0)) {
    return bad("rope theta and epsilon must be positive");
  }
  if (v.present) {
    if (v.width == 0 || v.heads == 0 || v.width % v.heads != 0 || v.width % 2 != 0 || v.mlp == 0 ||
        v.mlp % 2 != 0 || v.width / v.heads > 256) {
      return bad("vision width must be even and split into heads of at most 256");
    }
    if (!(v.norm_eps > 0)) return bad("vision epsilon must be positive");
  }
  return true;
}

void build_vision(GraphBuilder& g, const VlmModelDesc& desc, uint64_t* image_rows) {
  const VlmVisionShape& v = desc.vision;
  const uint64_t channels = 3;
  const uint64_t patch_k = channels * kVisionPatch * kVisionPatch;
  const uint64_t eps = real_word(v.norm_eps);
  const uint64_t pixels = g.input("pixel_values", kDtypeActivation);
  const uint64_t patch_ids = g.input("patch_position_ids", kDtypeInt64);
  const uint64_t mask = g.input("vision_attention_mask", kDtypeActivation);

  g.group("vision");
  const uint64_t patches =
      g.node(kOpPatchEmbedding,
             {pixels,
              g.weight("vision.patch_embedding.weight",
                       {v.width, channels, kVisionPatch, kVisionPatch}, matrix(patch_k)),
              g.weight("vision.patch_embedding.bias", {v.width}, kBias)},
             {kVisionPatch}, "vision.patch_embeds");
  const uint64_t positions = g.node(kOpEmbedding,
                                    {patch_ids, g.weight("vision.position_embedding.weight",
                                                         {kVisionPatches, v.width}, {0.0f, 0.5f})},
                                    {}, "vision.position_embeds");
  uint64_t h = g.node(kOpAdd, {patches, positions}, {}, "vision.embeddings");

  auto linear = [&](uint64_t x, const std::string& name, uint64_t out, uint64_t in, Init init) {
    return g.node(
        kOpLinear,
        {x, g.weight(name + ".weight", {out, in}, init), g.weight(name + ".bias", {out}, kBias)},
        {}, name);
  };
  auto layer_norm = [&](uint64_t x, const std::string& name) {
    return g.node(kOpLayerNorm,
                  {x, g.weight(name + ".weight", {v.width}, kGain),
                   g.weight(name + ".bias", {v.width}, kBias)},
                  {eps}, name);
  };
  const std::string p = "vision.layer.";
  const uint64_t n1 = layer_norm(h, p + "layer_norm1");
  const uint64_t q = linear(n1, p + "q_proj", v.width, v.width, matrix(v.width));
  const uint64_t k = linear(n1, p + "k_proj", v.width, v.width, matrix(v.width));
  const uint64_t val = linear(n1, p + "v_proj", v.width, v.width, matrix(v.width));
  const uint64_t att = g.node(kOpAttention, {q, k, val, mask},
                              {v.heads, v.heads, v.width / v.heads, 0}, p + "attention");
  h = g.node(kOpAdd, {h, linear(att, p + "out_proj", v.width, v.width, matrix(v.width))}, {},
             p + "attention_residual");
  const uint64_t n2 = layer_norm(h, p + "layer_norm2");
  const uint64_t up = linear(n2, p + "fc1", v.mlp, v.width, matrix(v.width));
  const uint64_t act = g.node(kOpGelu, {up}, {}, p + "gelu");
  h = g.node(kOpAdd, {h, linear(act, p + "fc2", v.width, v.mlp, matrix(v.mlp))}, {}, p + "output");
  const uint64_t post = layer_norm(h, "vision.post_layernorm");
  const uint64_t shuffled =
      g.node(kOpShuffle, {post}, {kVisionShuffle, kVisionGrid, kVisionGrid}, "vision.shuffled");
  const uint64_t shuffled_width = v.width * kVisionShuffle * kVisionShuffle;
  *image_rows =
      g.node(kOpLinear,
             {shuffled, g.weight("vision.connector.weight", {desc.text.hidden, shuffled_width},
                                 matrix(shuffled_width))},
             {}, "vision.image_rows");
}

bool build_graph(const VlmModelDesc& desc, ContainerWriter* w, VlmModelInfo* info,
                 std::string* error) {
  GraphBuilder g(desc, w, info);
  const VlmTextShape& t = desc.text;
  const uint64_t ids = g.input("input_ids", kDtypeInt64);
  const uint64_t positions = g.input("position_ids", kDtypeInt64);
  const uint64_t text_mask = g.input("text_attention_mask", kDtypeActivation);
  std::vector<uint64_t> past_keys;
  std::vector<uint64_t> past_values;
  for (uint64_t i = 0; i < t.layers; ++i) {
    past_keys.push_back(g.input("past_key." + std::to_string(i), kDtypeActivation));
    past_values.push_back(g.input("past_value." + std::to_string(i), kDtypeActivation));
  }
  uint64_t image_rows = 0;
  uint64_t image_positions = 0;
  if (desc.vision.present) {
    image_positions = g.input("image_token_positions", kDtypeInt64);
    build_vision(g, desc, &image_rows);
  }

  const uint64_t eps = real_word(t.norm_eps);
  const uint64_t theta = real_word(t.rope_theta);
  const uint64_t q_width = t.heads * t.head_dim;
  const uint64_t kv_width = t.kv_heads * t.head_dim;
  auto linear = [&](uint64_t x, const std::string& name, uint64_t out, uint64_t in,
                    float gain = 1.0f) {
    return g.node(kOpLinear, {x, g.weight(name + ".weight", {out, in}, matrix(in, gain))}, {},
                  name);
  };
  auto rms_norm = [&](uint64_t x, const std::string& name) {
    return g.node(kOpRmsNorm, {x, g.weight(name + ".weight", {t.hidden}, kGain)}, {eps}, name);
  };

  uint64_t x = 0;
  for (uint64_t i = 0; i < t.layers; ++i) {
    const std::string p = "text." + std::to_string(i) + ".";
    g.group("text." + std::to_string(i));
    if (i == 0) {
      x = g.node(kOpEmbedding,
                 {ids, g.weight("text.embed_tokens.weight", {info->vocab, t.hidden}, {0.0f, 1.0f})},
                 {}, "text.token_embeds");
      if (desc.vision.present) {
        x = g.node(kOpScatter, {x, image_rows, image_positions}, {}, "text.input_embeds");
      }
    }
    const uint64_t n1 = rms_norm(x, p + "input_layernorm");
    const uint64_t q = linear(n1, p + "q_proj", q_width, t.hidden);
    const uint64_t k = linear(n1, p + "k_proj", kv_width, t.hidden);
    const uint64_t v = linear(n1, p + "v_proj", kv_width, t.hidden);
    const uint64_t q_rot =
        g.node(kOpRotary, {q, positions}, {t.head_dim, theta, t.heads}, p + "q_rotary");
    const uint64_t k_rot =
        g.node(kOpRotary, {k, positions}, {t.head_dim, theta, t.kv_heads}, p + "k_rotary");
    const uint64_t att =
        g.cached_attention({q_rot, k_rot, v, text_mask, past_keys[i], past_values[i]},
                           {t.heads, t.kv_heads, t.head_dim, 1}, p, i);
    x = g.node(kOpAdd, {x, linear(att, p + "o_proj", t.hidden, q_width)}, {},
               p + "attention_residual");
    const uint64_t n2 = rms_norm(x, p + "post_attention_layernorm");
    const uint64_t gate = linear(n2, p + "gate_proj", t.mlp, t.hidden);
    const uint64_t up = linear(n2, p + "up_proj", t.mlp, t.hidden);
    const uint64_t act = g.node(kOpSilu, {gate}, {}, p + "silu");
    const uint64_t prod = g.node(kOpMultiply, {act, up}, {}, p + "gated");
    x = g.node(kOpAdd, {x, linear(prod, p + "down_proj", t.hidden, t.mlp)}, {}, p + "output");
  }
  g.group("lm_head");
  const uint64_t final_norm = rms_norm(x, "text.norm");
  // Logits of a few units: clear top-2 margins without FP16 saturation.
  g.node(kOpLinear,
         {final_norm, g.weight("lm_head.weight", {info->vocab, t.hidden}, matrix(t.hidden, 4.0f))},
         {}, "logits", kFlagLogits);
  if (!g.error().empty()) {
    *error = g.error();
    return false;
  }
  return true;
}

bool fill_writer(const VlmModelDesc& desc, ContainerWriter* w, VlmModelInfo* info,
                 std::string* error) {
  *info = VlmModelInfo{};
  if (!check_shape(desc, error)) return false;
  std::vector<AuxBlob> assets;
  if (!make_vlm_assets(desc, &assets, info, error)) return false;
  if (desc.assets) assets = *desc.assets;
  w->set_generative();
  if (!build_graph(desc, w, info, error)) return false;
  for (const AuxBlob& a : assets) w->add_aux(a.name, a.blob);
  if (w->failed()) {
    *error = w->error();
    return false;
  }
  info->tensor_count = w->tensor_count();
  return true;
}

}  // namespace

bool write_vlm_model(const VlmModelDesc& desc, std::vector<uint8_t>* out, VlmModelInfo* info,
                     std::string* error) {
  ContainerWriter w;
  return fill_writer(desc, &w, info, error) && w.write_to_memory(out, error);
}

bool write_vlm_model_file(const VlmModelDesc& desc, const std::string& path, VlmModelInfo* info,
                          std::string* error) {
  ContainerWriter w;
  return fill_writer(desc, &w, info, error) && w.write_to_path(path, error);
}

TempModelFile::~TempModelFile() {
  if (!path_.empty()) unlink(path_.c_str());
}

bool TempModelFile::write(const VlmModelDesc& desc, std::string* error) {
  if (!path_.empty()) {
    *error = "a temporary model was already written";
    return false;
  }
  const char* dir = std::getenv("TMPDIR");
  std::string path =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/vexa_model_XXXXXX";
  // mkstemp reserves the name; the writer then replaces the file through its own temporary.
  const int fd = mkstemp(path.data());
  if (fd < 0) {
    *error = "cannot create a temporary file " + path + ": " + std::strerror(errno);
    return false;
  }
  close(fd);
  path_ = path;
  return write_vlm_model_file(desc, path_, &info_, error);
}

VlmModelDesc tiny_vlm_desc(VlmWeights weights) {
  VlmModelDesc desc;
  desc.weights = weights;
  // Chosen so that every greedy step of the goldens, in every weight and activation format, has
  // a top-2 logit margin of at least 0.35 (22 FP16 ulps of the logits) over 17 distinct tokens.
  desc.seed = 354;
  return desc;
}

VlmModelDesc bench_text_desc(VlmWeights weights) {
  VlmModelDesc desc;
  desc.text.hidden = 576;
  desc.text.layers = 30;
  desc.text.heads = 9;
  desc.text.kv_heads = 3;
  desc.text.head_dim = 64;
  desc.text.mlp = 1536;
  desc.text.vocab = 49280;
  desc.vision.present = false;
  desc.weights = weights;
  desc.seed = 7;
  // 256 byte symbols + 49,000 merges + the special tokens fit under 49,280 ids.
  desc.merges = 49000;
  return desc;
}

}  // namespace vexa::testing
