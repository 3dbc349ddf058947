// Writes a small image classifier model: two strided 3x3 convolutions with ReLU, global average
// pooling and a 1x1 convolution to five classes, with fixed pseudo-random weights, ImageNet
// normalisation and class labels in its metadata.
//
// Usage: vexa-make-demo-model [OUTPUT_PATH]   (default /tmp/vexa-demo-model.vexa)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/container_writer.h"

namespace {

using namespace vexa;

constexpr uint64_t kInputSide = 64;
constexpr uint64_t kClasses = 5;
constexpr char kDefaultPath[] = "/tmp/vexa-demo-model.vexa";

// Conv attribute words of the graph records.
constexpr uint32_t kWordKernelH = 15, kWordKernelW = 16, kWordStrideH = 17, kWordStrideW = 18;
constexpr uint32_t kWordPadTop = 19, kWordPadLeft = 20, kWordPadBottom = 21, kWordPadRight = 22;
constexpr uint32_t kWordDilationH = 23, kWordDilationW = 24, kWordGroup = 25;

// Deterministic weights: a linear congruential sequence scaled like a He initialisation.
class WeightSource {
 public:
  std::vector<float> next(uint64_t count, uint64_t fan_in) {
    std::vector<float> v(count);
    const float scale = std::sqrt(2.0f / static_cast<float>(fan_in));
    for (float& x : v) {
      state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
      const float unit = static_cast<float>(state_ >> 40) / static_cast<float>(1ull << 24);
      x = (2.0f * unit - 1.0f) * scale;
    }
    return v;
  }

 private:
  uint64_t state_ = 0x5eed;
};

class Builder {
 public:
  uint64_t value(uint64_t kind, std::vector<uint64_t> dims, const std::string& name) {
    GraphValue v{};
    v.kind = kind;
    v.dtype = 2;
    v.rank = dims.size();
    v.element_count = 1;
    for (size_t i = 0; i < dims.size(); ++i) {
      v.dims[i] = dims[i];
      v.element_count *= dims[i];
    }
    v.byte_size = 4 * v.element_count;
    return writer.add_value(v, name);
  }
  uint64_t weight(const std::string& name, std::vector<uint64_t> dims, const std::vector<float>& data) {
    const uint64_t t = writer.add_tensor_f32(name, dims, data.data());
    return writer.add_weight_value(t, name);
  }
  void node(OpKind kind, std::vector<uint64_t> inputs, uint64_t output,
            std::vector<std::pair<uint32_t, uint64_t>> attrs = {}) {
    GraphNode n{};
    n.op_kind = static_cast<uint64_t>(kind);
    n.input_count = inputs.size();
    for (size_t i = 0; i < inputs.size(); ++i) n.inputs[i] = inputs[i];
    n.output_count = 1;
    n.outputs[0] = output;
    for (const auto& [word, v] : attrs) n.words()[word] = v;
    writer.add_node(n);
  }
  // Conv with bias, square kernel, equal padding, then ReLU when asked.
  uint64_t conv(const std::string& name, uint64_t in, uint64_t cin, uint64_t cout, uint64_t k,
                uint64_t stride, uint64_t pad, uint64_t out_side, bool relu, bool graph_output) {
    const uint64_t w = weight(name + ".weight", {cout, cin, k, k}, weights.next(cout * cin * k * k, cin * k * k));
    const uint64_t b = weight(name + ".bias", {cout}, weights.next(cout, cin * k * k));
    const uint64_t kind = graph_output && !relu ? 4 : 3;
    const uint64_t c = value(kind, {1, cout, out_side, out_side}, graph_output && !relu ? "logits" : name);
    node(OpKind::kConv, {in, w, b}, c,
         {{kWordKernelH, k}, {kWordKernelW, k}, {kWordStrideH, stride}, {kWordStrideW, stride},
          {kWordPadTop, pad}, {kWordPadLeft, pad}, {kWordPadBottom, pad}, {kWordPadRight, pad},
          {kWordDilationH, 1}, {kWordDilationW, 1}, {kWordGroup, 1}});
    if (!relu) return c;
    const uint64_t r = value(3, {1, cout, out_side, out_side}, name + ".relu");
    node(OpKind::kRelu, {c}, r);
    return r;
  }

  ContainerWriter writer;
  WeightSource weights;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : kDefaultPath;
  Builder b;
  const uint64_t images = b.value(1, {1, 3, kInputSide, kInputSide}, "images");
  const uint64_t c1 = b.conv("conv1", images, 3, 8, 3, 2, 1, kInputSide / 2, true, false);
  const uint64_t c2 = b.conv("conv2", c1, 8, 16, 3, 2, 1, kInputSide / 4, true, false);
  const uint64_t pooled = b.value(3, {1, 16, 1, 1}, "pool");
  b.node(OpKind::kGlobalAveragePool, {c2}, pooled);
  b.conv("classifier", pooled, 16, kClasses, 1, 1, 0, 1, false, true);

  b.writer.set_meta_string("task", "classify");
  b.writer.set_meta_string("normalize", "imagenet");
  b.writer.set_meta_string("resize", "stretch");
  b.writer.set_meta_string("default_backend", "cpu");
  const std::string_view labels[kClasses] = {"sky", "sea", "forest", "desert", "city"};
  b.writer.set_meta_string_list("labels", labels);

  std::string error;
  if (!b.writer.write_to_path(path, &error)) {
    std::fprintf(stderr, "vexa: %s\n", error.c_str());
    return 1;
  }
  std::printf("wrote %s\n", path.c_str());
  return 0;
}
