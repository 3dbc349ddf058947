// Models built twice from one description: as a container graph for the CPU engine, and as a
// graph-library graph written the way the graph-model backend lowers each container node
// (bias reshaped to [1, C, 1, 1] and added, clip as a clamp to scalar constants, Gemm with a
// transposed weight as a 1 x 1 convolution, layer normalisation and GELU op by op, global
// average pooling as a mean over H and W, flatten as a reshape). Same weights on both sides.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/container.h"
#include "core/container_writer.h"
#include "platform/graph.h"

namespace vexa::bench {

using Shape = std::vector<int64_t>;

struct TwinValue {
  uint64_t id = 0;  // container value
  GraphTensor t;    // graph tensor
  Shape shape;
};

class TwinBuilder {
 public:
  explicit TwinBuilder(uint32_t seed) : seed_(seed) {}

  Graph& graph() { return g_; }
  ContainerWriter& writer() { return w_; }

  TwinValue input(const Shape& s) {
    TwinValue v{value(1, s), g_.placeholder(s, DeviceDataType::kFloat32, "input"), s};
    input_ = v;
    return v;
  }
  // The graph output: the container copies it into a value of the output kind (an Identity
  // node over 1000 floats); the graph computes the tensor itself.
  void output(const TwinValue& v) {
    output_ = v;
    output_.id = value(4, v.shape);
    node(21, {v.id}, output_.id, {});
  }
  const TwinValue& input_value() const { return input_; }
  const TwinValue& output_value() const { return output_; }

  // Weights drawn uniformly with standard deviation `scale`.
  TwinValue weight(const Shape& s, float scale) {
    uint64_t n = 1;
    for (int64_t d : s) n *= static_cast<uint64_t>(d);
    std::vector<float> data(n);
    for (float& x : data) x = scale * 1.7320508f * uniform();
    return weight_data(s, data);
  }
  TwinValue weight_data(const Shape& s, const std::vector<float>& data) {
    std::vector<uint64_t> dims(s.begin(), s.end());
    const uint64_t t = w_.add_tensor_f32("t" + std::to_string(w_.tensor_count()), dims, data.data());
    const uint64_t id = w_.add_weight_value(t, "w" + std::to_string(names_++));
    GraphTensor c = g_.constant_data(data.data(), data.size() * 4, s, DeviceDataType::kFloat32);
    return {id, c, s};
  }

  TwinValue conv(const TwinValue& x, int64_t out, int64_t k, int64_t stride, int64_t pad,
                 int64_t group = 1) {
    const int64_t c = x.shape[1];
    const float scale = std::sqrt(2.0f / static_cast<float>(c / group * k * k));
    TwinValue wt = weight({out, c / group, k, k}, scale);
    TwinValue b = weight({out}, 0.05f);
    const int64_t oh = (x.shape[2] + 2 * pad - k) / stride + 1;
    const int64_t ow = (x.shape[3] + 2 * pad - k) / stride + 1;
    const Shape ys = {x.shape[0], out, oh, ow};
    TwinValue y{inter(ys), {}, ys};
    node(5, {x.id, wt.id, b.id}, y.id,
         {{15, u(k)}, {16, u(k)}, {17, u(stride)}, {18, u(stride)}, {19, u(pad)}, {20, u(pad)},
          {21, u(pad)}, {22, u(pad)}, {23, 1}, {24, 1}, {25, u(group)}});
    GraphConv2dDescriptor d;
    d.stride_x = d.stride_y = stride;
    d.pad_left = d.pad_right = d.pad_top = d.pad_bottom = pad;
    d.groups = group;
    y.t = g_.add(g_.conv2d(x.t, wt.t, d), g_.reshape(b.t, {1, out, 1, 1}));
    return y;
  }

  TwinValue relu(const TwinValue& x) {
    TwinValue y{inter(x.shape), g_.relu(x.t), x.shape};
    node(6, {x.id}, y.id, {});
    return y;
  }

  TwinValue clip(const TwinValue& x, float lo, float hi) {
    TwinValue y{inter(x.shape), {}, x.shape};
    node(30, {x.id}, y.id, {{29, f32(lo)}, {30, f32(hi)}});
    y.t = g_.clamp(x.t, g_.constant_scalar(lo, DeviceDataType::kFloat32),
                   g_.constant_scalar(hi, DeviceDataType::kFloat32));
    return y;
  }

  TwinValue add(const TwinValue& a, const TwinValue& b) {
    const Shape s = a.shape.size() >= b.shape.size() ? a.shape : b.shape;
    TwinValue y{inter(s), g_.add(a.t, b.t), s};
    node(3, {a.id, b.id}, y.id, {});
    return y;
  }

  TwinValue mul(const TwinValue& a, const TwinValue& b) {
    const Shape s = a.shape.size() >= b.shape.size() ? a.shape : b.shape;
    TwinValue y{inter(s), g_.multiply(a.t, b.t), s};
    node(4, {a.id, b.id}, y.id, {});
    return y;
  }

  TwinValue max_pool(const TwinValue& x, int64_t k, int64_t stride, int64_t pad) {
    const int64_t oh = (x.shape[2] + 2 * pad - k) / stride + 1;
    const int64_t ow = (x.shape[3] + 2 * pad - k) / stride + 1;
    const Shape ys = {x.shape[0], x.shape[1], oh, ow};
    TwinValue y{inter(ys), {}, ys};
    node(7, {x.id}, y.id,
         {{15, u(k)}, {16, u(k)}, {17, u(stride)}, {18, u(stride)}, {19, u(pad)}, {20, u(pad)},
          {21, u(pad)}, {22, u(pad)}});
    GraphPool2dDescriptor d;
    d.kernel_height = d.kernel_width = k;
    d.stride_x = d.stride_y = stride;
    d.pad_left = d.pad_right = d.pad_top = d.pad_bottom = pad;
    y.t = g_.max_pool2d(x.t, d);
    return y;
  }

  TwinValue global_average_pool(const TwinValue& x) {
    const Shape ys = {x.shape[0], x.shape[1], 1, 1};
    TwinValue y{inter(ys), g_.mean(x.t, {2, 3}), ys};
    node(8, {x.id}, y.id, {});
    return y;
  }

  TwinValue flatten(const TwinValue& x, const Shape& s) {
    TwinValue y{inter(s), g_.reshape(x.t, s), s};
    node(9, {x.id}, y.id, {});
    return y;
  }

  // Y = A W^T + b with W stored [N, K]: a 1 x 1 convolution on the graph side (K up to 4096).
  TwinValue gemm(const TwinValue& a, int64_t n) {
    const int64_t m = a.shape[0], k = a.shape[1];
    TwinValue wt = weight({n, k}, std::sqrt(1.0f / static_cast<float>(k)));
    TwinValue b = weight({n}, 0.05f);
    const Shape ys = {m, n};
    TwinValue y{inter(ys), {}, ys};
    node(10, {a.id, wt.id, b.id}, y.id, {{27, 0}, {28, 1}, {29, f32(1.0f)}, {30, f32(1.0f)}});
    GraphTensor conv = g_.conv2d(g_.reshape(a.t, {m, k, 1, 1}), g_.reshape(wt.t, {n, k, 1, 1}),
                                 GraphConv2dDescriptor{});
    y.t = g_.add(g_.reshape(conv, {m, n}), b.t);
    return y;
  }

  TwinValue matmul(const TwinValue& a, const TwinValue& b) {
    Shape s = a.shape;
    s.back() = b.shape.back();
    TwinValue y{inter(s), g_.matmul(a.t, b.t), s};
    node(16, {a.id, b.id}, y.id, {});
    return y;
  }

  TwinValue transpose(const TwinValue& x, const std::vector<int64_t>& perm) {
    Shape s(perm.size());
    for (size_t i = 0; i < perm.size(); ++i) s[i] = x.shape[static_cast<size_t>(perm[i])];
    TwinValue y{inter(s), g_.permute(x.t, perm), s};
    std::vector<std::pair<uint32_t, uint64_t>> words = {{15, perm.size()}};
    for (size_t i = 0; i < perm.size(); ++i) words.push_back({19 + static_cast<uint32_t>(i), u(perm[i])});
    node(14, {x.id}, y.id, words);
    return y;
  }

  TwinValue softmax(const TwinValue& x) {
    TwinValue y{inter(x.shape), g_.softmax(x.t, -1), x.shape};
    node(29, {x.id}, y.id, {{26, static_cast<uint64_t>(int64_t{-1})}});
    return y;
  }

  TwinValue concat(const TwinValue& a, const TwinValue& b, int64_t axis) {
    Shape s = a.shape;
    s[static_cast<size_t>(axis)] += b.shape[static_cast<size_t>(axis)];
    TwinValue y{inter(s), g_.concat({a.t, b.t}, axis), s};
    node(20, {a.id, b.id}, y.id, {{26, u(axis)}});
    return y;
  }

  TwinValue slice(const TwinValue& x, int64_t axis, int64_t start, int64_t length) {
    Shape s = x.shape;
    s[static_cast<size_t>(axis)] = length;
    TwinValue y{inter(s), g_.slice(x.t, axis, start, length), s};
    node(36, {x.id}, y.id, {{26, u(axis)}, {19, u(start)}, {20, u(length)}, {17, 1}});
    return y;
  }

  // Over the last dim: m = mean(x), d = x - m, v = mean(d d), y = d (1 / sqrt(v + eps)) s + b.
  TwinValue layer_norm(const TwinValue& x, float eps) {
    const int64_t d = x.shape.back();
    TwinValue scale = weight_data({d}, std::vector<float>(static_cast<size_t>(d), 1.0f));
    TwinValue bias = weight({d}, 0.02f);
    TwinValue y{inter(x.shape), {}, x.shape};
    node(15, {x.id, scale.id, bias.id}, y.id,
         {{26, static_cast<uint64_t>(int64_t{-1})}, {29, f32(eps)}});
    const int64_t last = static_cast<int64_t>(x.shape.size()) - 1;
    GraphTensor m = g_.mean(x.t, {last});
    GraphTensor dd = g_.subtract(x.t, m);
    GraphTensor v = g_.mean(g_.multiply(dd, dd), {last});
    GraphTensor inv = g_.reciprocal(g_.sqrt(g_.add(v, g_.constant_scalar(eps, DeviceDataType::kFloat32))));
    y.t = g_.add(g_.multiply(g_.multiply(dd, inv), scale.t), bias.t);
    return y;
  }

  // x * 0.5 * (1 + erf(x * 0.70710677)).
  TwinValue gelu(const TwinValue& x) {
    TwinValue y{inter(x.shape), {}, x.shape};
    node(32, {x.id}, y.id, {});
    const DeviceDataType f = DeviceDataType::kFloat32;
    y.t = g_.multiply(g_.multiply(x.t, g_.constant_scalar(0.5, f)),
                      g_.add(g_.constant_scalar(1.0, f),
                             g_.erf(g_.multiply(x.t, g_.constant_scalar(0.70710677, f)))));
    return y;
  }

  // The container in memory, opened, with its weights; false with *error set.
  bool open_container(OpenContainer* c, std::vector<uint8_t>* weights, std::string* error) {
    std::vector<uint8_t> bytes;
    if (!w_.write_to_memory(&bytes, error)) return false;
    int fd = memfd_create("vexa-bench-model", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      if (fd >= 0) ::close(fd);
      *error = "cannot write the model to a memory file";
      return false;
    }
    OpenResult r = container_open_fd(fd, 0, bytes.size(), kOpenFlagPlanF32);
    ::close(fd);
    if (!r.ok()) {
      *error = "cannot open the model, status " + std::to_string(r.status);
      return false;
    }
    *c = r.container;
    weights->assign(bytes.begin() + static_cast<ptrdiff_t>(c->weights_offset), bytes.end());
    return true;
  }

 private:
  static uint64_t u(int64_t v) { return static_cast<uint64_t>(v); }
  static uint64_t f32(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
  }
  float uniform() {
    seed_ = seed_ * 1664525u + 1013904223u;
    return static_cast<float>((seed_ >> 8) & 0xFFFF) / 32768.0f - 1.0f;
  }
  uint64_t value(uint64_t kind, const Shape& s) {
    GraphValue v{};
    v.kind = kind;
    v.dtype = 2;
    v.rank = s.size();
    v.element_count = 1;
    for (size_t i = 0; i < s.size(); ++i) {
      v.dims[i] = static_cast<uint64_t>(s[i]);
      v.element_count *= v.dims[i];
    }
    v.byte_size = 4 * v.element_count;
    return w_.add_value(v, "v" + std::to_string(names_++));
  }
  uint64_t inter(const Shape& s) { return value(3, s); }
  void node(uint64_t kind, std::initializer_list<uint64_t> inputs, uint64_t output,
            const std::vector<std::pair<uint32_t, uint64_t>>& words) {
    GraphNode n{};
    n.op_kind = kind;
    n.input_count = inputs.size();
    size_t k = 0;
    for (uint64_t i : inputs) n.inputs[k++] = i;
    n.output_count = 1;
    n.outputs[0] = output;
    for (const auto& [word, v] : words) n.words()[word] = v;
    w_.add_node(n);
  }

  uint32_t seed_;
  uint64_t names_ = 0;
  Graph g_;
  ContainerWriter w_;
  TwinValue input_, output_;
};

}  // namespace vexa::bench
