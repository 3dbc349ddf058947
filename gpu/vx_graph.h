// The generative graph executor: runs the graph section of a generative model container on the
// device, over the weights a GpuContext holds.
//
//   auto graph = VXGraph::init_with_context(context, metadata, metadata_length, kVXActivationF16);
//   graph->configure({{"backend", "auto"}});
//   VXTensorMap inputs = {{"input_ids", ids}, ...};           // tensors made with graph->tensor()
//   VXRunResult r = graph->run(inputs, &capture_names);       // prefill
//   ... feed r.cache back as the past inputs of the next run (one decode step per token) ...
//
// Initialisation reads and validates the graph section once (every count, offset and value id
// is checked before it is used); a bad section raises and leaves no graph. A run binds the
// inputs, encodes every node into a command buffer (committing at group boundaries when a
// cancel flag is set, so that cancellation takes effect there), waits, and returns the logits,
// the captured tensors and the grown key/value caches.
//
// Failures raise DomainError("VexaInference", message) with fixed messages; cancellation raises
// DomainError("VexaCancelled", "Generation cancelled"). A graph is used by one thread at a time;
// only the cancel flag may be written by another thread.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "gpu/vx_tensor.h"
#include "platform/software_device.h"

namespace vexa {

struct GpuContext;
class Matrix;
class MatrixMultiplication;
class GraphTensorData;
enum class DeviceDataType : uint32_t;

// Graph op codes.
enum : uint64_t {
  kVXOpEmbedding = 1,
  kVXOpPatchEmbedding = 2,
  kVXOpAdd = 3,
  kVXOpLinear = 4,
  kVXOpLayerNorm = 5,
  kVXOpRmsNorm = 6,
  kVXOpGelu = 7,
  kVXOpSilu = 8,
  kVXOpMultiply = 9,
  kVXOpAttention = 10,
  kVXOpRotary = 11,
  kVXOpShuffle = 12,
  kVXOpScatter = 13,
};

// Graph value flags.
inline constexpr uint64_t kVXValueInput = 1;
inline constexpr uint64_t kVXValueLogits = 2;
inline constexpr uint64_t kVXValueWeight = 4;
inline constexpr uint64_t kVXValueFlagsMask = 7;

// The parameter block of every dispatch, bound as 80 inline bytes at buffer index 3: sixteen
// unsigned words then four floats, unused ones 0.
struct VXParams {
  uint32_t u[16];
  float f[4];
};
static_assert(sizeof(VXParams) == 80);
inline constexpr uint32_t kVXParamsIndex = 3;

// Most single-row products of one input that go out as one dispatch (the matrix-vector kernels
// take four).
inline constexpr uint64_t kMaxLinearSiblings = 4;

// Attention refuses contexts longer than this many positions.
inline constexpr uint64_t kVXMaxContext = 8192;

struct VXValue {
  std::string name;
  uint64_t flags = 0;
  uint64_t tensor = 0;  // weight index, meaningful with kVXValueWeight
  uint64_t dtype = 0;
};

struct VXNode {
  uint64_t op = 0;
  uint64_t group = 0;
  std::vector<uint64_t> inputs;
  std::vector<uint64_t> outputs;
  std::vector<uint64_t> attrs;  // 0..4 words
};

using VXTensorMap = std::map<std::string, VXTensorPtr>;
using VXTensorList = std::vector<VXTensorPtr>;

struct VXRunResult {
  VXTensorPtr logits;
  VXTensorMap captures;  // captured value or group name -> tensor
  VXTensorMap cache;     // past-key / past-value input name -> grown cache
};

struct VXProfileRecord {
  uint64_t node = 0;
  uint64_t op = 0;
  std::string group;
  std::vector<uint64_t> input_shape;
  double gpu_ms = 0.0;
};
// {"node", "op", "group", "input_shape", "gpu_ms"} per record.
nlohmann::json profile_records_json(const std::vector<VXProfileRecord>& records);

class VXGraph {
 public:
  // Reads the graph section of a generative container's metadata image (bytes 0 up to the
  // weights region) and builds the kernel pipelines at the given activation precision.
  static std::unique_ptr<VXGraph> init_with_context(const GpuContext* context,
                                                    const uint8_t* metadata, uint64_t length,
                                                    uint64_t activation);
  ~VXGraph();
  VXGraph(const VXGraph&) = delete;
  VXGraph& operator=(const VXGraph&) = delete;

  // ---- activation pool -------------------------------------------------------------------
  // A new tensor of dtype 1..3 over a pooled buffer (power-of-two buckets of at least 256 bytes).
  VXTensorPtr tensor(std::vector<uint64_t> shape, uint64_t dtype);
  // Gives the tensor's buffer back to the pool; ignores null, weight views, caches and buffers
  // already there.
  void recycle(const VXTensorPtr& tensor);

  // ---- dispatch --------------------------------------------------------------------------
  // One compute dispatch with its own encoder: tensor i at buffer index i (i < 3) or i + 1
  // (index 3 is the parameter block), `count` threads or, with groups, `count` thread groups of
  // 128 threads. Nothing is encoded for a count of 0.
  void kernel(std::string_view name, std::initializer_list<const VXTensor*> tensors,
              const VXParams& params, uint64_t count, bool groups,
              const std::shared_ptr<CommandBuffer>& command);
  // The same over a two- or three-dimensional grid of thread groups of `threads_per_group`
  // threads: the tiled kernels take their tile from the group's position in the grid and run
  // 128, 256 or 512 threads per group, which the one-dimensional form above cannot express.
  void kernel_grid(std::string_view name, std::initializer_list<const VXTensor*> tensors,
                   const VXParams& params, Size3 groups, uint64_t threads_per_group,
                   const std::shared_ptr<CommandBuffer>& command);

  // ---- operations ------------------------------------------------------------------------
  // y = x weight^T (+ bias) with the weight stored [N, K] in FP16 (q8 for a single row).
  VXTensorPtr linear(const VXTensorPtr& x, const VXTensorPtr& weight, const VXTensorPtr& bias,
                     const std::shared_ptr<CommandBuffer>& command);
  // The single-row products of one x through two to four weights (q/k/v, gate/up), each with
  // an optional bias (null), as one matrix-vector dispatch: the outputs are those linear()
  // gives, byte for byte. The caller has checked each product as linear() checks it.
  VXTensorList linear_siblings(const VXTensorPtr& x, const VXTensorList& weights,
                               const VXTensorList& biases,
                               const std::shared_ptr<CommandBuffer>& command);
  // Encodes one graph node; returns its output tensors.
  VXTensorList operation(const VXNode& node, const VXTensorList& inputs,
                         const std::shared_ptr<CommandBuffer>& command);
  // Element-wise op 3 (add), 7 (GELU), 8 (SiLU) or 9 (multiply); `other` is x itself for the
  // unary ops, and may be a vector of x's last dimension broadcast over rows.
  VXTensorPtr point(const VXTensorPtr& x, const VXTensorPtr& other, uint64_t op,
                    const std::shared_ptr<CommandBuffer>& command);

  // ---- running ---------------------------------------------------------------------------
  // Runs the whole graph once. `captures` (may be null) names values or groups whose tensors
  // are returned as well.
  VXRunResult run(const VXTensorMap& inputs, const std::set<std::string>* captures);
  // Chooses the optional library paths: "backend" ("auto", "metal", "mps", "mpsgraph") and the
  // booleans "mps_prefill", "mps_attention", "graph_attention", "graph_linear". Other keys are
  // ignored, so a whole request object may be passed.
  void configure(const nlohmann::json& options);

  // ---- reports ---------------------------------------------------------------------------
  std::string backend_name() const;
  // "fp16", "int8" or "mixed-fp16-int8".
  std::string weight_dtype() const;
  // {"policy", "resident_weight_buffer_bytes", "quantized_tensors",
  //  "peak_live_dequantized_weight_scratch_bytes", "cumulative_dequantized_weight_bytes",
  //  "fused_int8_matvec_calls", "fused_int8_embedding_calls"}.
  nlohmann::json weight_execution() const;

  // ---- properties ------------------------------------------------------------------------
  const std::shared_ptr<Device>& device() const { return device_; }
  const std::shared_ptr<CommandQueue>& queue() const { return queue_; }
  const std::vector<VXNode>& nodes() const { return nodes_; }
  const std::vector<VXValue>& rows() const { return rows_; }
  const std::vector<VXTensorPtr>& weights() const { return weights_; }
  const std::vector<std::string>& groups() const { return groups_; }
  const std::vector<uint64_t>& uses() const { return uses_; }
  const std::map<std::string, uint64_t>& input_ids() const { return input_ids_; }
  uint64_t logits_id() const { return logits_id_; }
  uint64_t activation() const { return activation_; }

  // Pool contents: bucket size in bytes -> free buffers.
  const std::map<uint64_t, std::vector<std::shared_ptr<DeviceBuffer>>>& pool() const {
    return pool_;
  }
  uint64_t free_buffer_count() const { return free_buffers_.size(); }
  // Matrix-multiplication objects and library graphs built so far (one per shape key).
  uint64_t matrix_cache_size() const { return matrices_.size(); }
  uint64_t graph_cache_size() const { return attention_graphs_.size(); }
  // Drops every pooled buffer (a session reset).
  void clear_pool();

  // Reuse cache kept by the generation loop between requests; a run never changes them.
  const std::vector<int64_t>& cached_tokens() const { return cached_tokens_; }
  void set_cached_tokens(std::vector<int64_t> tokens) { cached_tokens_ = std::move(tokens); }
  const std::vector<uint8_t>& cached_pixels() const { return cached_pixels_; }
  void set_cached_pixels(std::vector<uint8_t> pixels) { cached_pixels_ = std::move(pixels); }
  const VXTensorMap& cached_kv() const { return cached_kv_; }
  void set_cached_kv(VXTensorMap kv) { cached_kv_ = std::move(kv); }

  double last_gpu_ms() const { return last_gpu_ms_; }
  double last_encode_ms() const { return last_encode_ms_; }
  const std::vector<VXProfileRecord>& last_profile() const { return last_profile_; }

  bool mps_prefill() const { return mps_prefill_; }
  void set_mps_prefill(bool on) { mps_prefill_ = on; }
  bool mps_attention() const { return mps_attention_; }
  void set_mps_attention(bool on) { mps_attention_ = on; }
  bool graph_attention() const { return graph_attention_; }
  void set_graph_attention(bool on) { graph_attention_ = on; }
  bool graph_linear() const { return graph_linear_; }
  void set_graph_linear(bool on) { graph_linear_ = on; }
  bool profile() const { return profile_; }
  void set_profile(bool on) { profile_ = on; }
  // Caller-owned cancellation word, read with acquire ordering; null for none.
  const uint32_t* cancel_flag() const { return cancel_flag_; }
  void set_cancel_flag(const uint32_t* flag) { cancel_flag_ = flag; }
  // Key/value cache capacity in positions (0: as needed).
  uint64_t cache_capacity() const { return cache_capacity_; }
  void set_cache_capacity(uint64_t positions) { cache_capacity_ = positions; }

  uint64_t peak_metal_allocated_bytes() const { return peak_metal_allocated_bytes_; }
  uint64_t quantized_weights() const { return quantized_weights_; }
  uint64_t resident_weight_bytes() const { return resident_weight_bytes_; }
  uint64_t peak_dequantized_weight_bytes() const { return peak_dequantized_weight_bytes_; }
  uint64_t dequantized_weight_bytes() const { return dequantized_weight_bytes_; }
  // Bytes of widened copies of whole weights written so far: q8 weights expanded to FP16
  // scratch, and the f32 copies the library paths multiply. Slices widened inside a product,
  // one cache-sized block at a time, do not count.
  uint64_t widened_weight_bytes() const { return widened_weight_bytes_; }
  uint64_t fused_int8_matvec_calls() const { return fused_int8_matvec_calls_; }
  uint64_t fused_int8_embedding_calls() const { return fused_int8_embedding_calls_; }
  uint64_t cache_written_elements() const { return cache_written_elements_; }
  uint64_t cache_copied_elements() const { return cache_copied_elements_; }
  uint64_t cache_buffer_count() const { return cache_buffer_count_; }
  uint64_t cache_reserved_bytes() const { return cache_reserved_bytes_; }

  // Test hook: called right after each node is encoded, with the command buffer it went into,
  // so a test can encode work that runs between two nodes (a cancel flag set mid-group).
  using EncodeHook = std::function<void(const std::shared_ptr<CommandBuffer>&, uint64_t node)>;
  void set_encode_hook(EncodeHook hook) { encode_hook_ = std::move(hook); }
  // Test hook (process-wide): graphs built from now on fail to compile their kernel source
  // ("library"), or to make the pipeline of the named kernel; empty for none.
  static void set_build_fault_for_testing(std::string step);
  // Test hook: the name of the kernel of every dispatch encoded from now on, in order.
  void set_dispatch_log(std::vector<std::string>* log) { dispatch_log_ = log; }

 private:
  VXGraph() = default;
  struct LibraryGraph;
  // The sizes one attention node works with.
  struct AttentionDims {
    uint64_t batch, hq, hkv, dim, seq, total, stride;
  };

  // Initialisation steps (vx_graph_init.cpp).
  void build_pipelines();
  void read_graph(const uint8_t* image, uint64_t length);

  const std::shared_ptr<ComputePipeline>& pipeline(std::string_view name) const;
  void encode(std::string_view name, std::span<const VXTensor* const> tensors,
              const VXParams& params, Size3 size, uint64_t threads_per_group, bool groups,
              const std::shared_ptr<CommandBuffer>& command);
  void note_allocation();
  std::shared_ptr<CommandBuffer> new_command_buffer();

  // How many nodes from node j on are single-row products of one input that linear_siblings
  // may encode together (1: node j alone).
  uint64_t sibling_linears(uint64_t j, const std::vector<VXTensorPtr>& bound) const;
  // Fills sibling_runs_ from the graph's structure, once the graph is read.
  void find_sibling_linears();

  // Operations (vx_graph_ops.cpp, vx_graph_attention.cpp).
  void check_node(const VXNode& node, const VXTensorList& inputs) const;
  // linear()'s checks of x, the weight and the bias (null: none); the rows M, outputs N and
  // inputs K of the product. q8_rows admits a rank-2 q8 weight for any number of rows.
  void check_linear(const VXTensor& x, const VXTensor& weight, const VXTensor* bias, uint64_t* m,
                    uint64_t* n, uint64_t* k, bool q8_rows = false) const;
  // A linear node of the run: linear(), except that a rank-2 q8 weight of a product of several
  // rows is read in place by the tiled kernels (through FP16 scratch only where a library path
  // multiplies it).
  VXTensorPtr linear_node(const VXTensorPtr& x, const VXTensorPtr& weight, const VXTensorPtr& bias,
                          const std::shared_ptr<CommandBuffer>& command);
  // Whether a product of m rows, n outputs and k inputs goes to a library path.
  bool library_linear(uint64_t m, uint64_t n, uint64_t k) const;
  // The tiled kernels' dispatch of a checked product of several rows into y.
  void linear_tiled(const VXTensorPtr& x, const VXTensorPtr& weight, const VXTensorPtr& bias,
                    const VXTensorPtr& y, uint64_t m, uint64_t n, uint64_t k,
                    const std::shared_ptr<CommandBuffer>& command);
  VXTensorPtr embedding(const VXTensorPtr& ids, const VXTensorPtr& weight,
                        const std::shared_ptr<CommandBuffer>& command);
  VXTensorPtr patch_embedding(const VXNode& node, const VXTensorList& in,
                              const std::shared_ptr<CommandBuffer>& command);
  VXTensorPtr norm(const VXNode& node, const VXTensorList& in,
                   const std::shared_ptr<CommandBuffer>& command);
  VXTensorPtr rotary(const VXNode& node, const VXTensorList& in,
                     const std::shared_ptr<CommandBuffer>& command);
  VXTensorPtr shuffle(const VXNode& node, const VXTensorList& in,
                      const std::shared_ptr<CommandBuffer>& command);
  VXTensorPtr scatter(const VXTensorList& in, const std::shared_ptr<CommandBuffer>& command);
  VXTensorList attention(const VXNode& node, const VXTensorList& in,
                         const std::shared_ptr<CommandBuffer>& command);
  // in_place: the past has room for the new positions at offset 0 (decided for keys and values
  // together).
  VXTensorPtr cache_append(const VXTensorPtr& fresh, const VXTensorPtr& past, bool cached,
                           bool in_place, uint64_t batch, uint64_t kv_heads, uint64_t seq, uint64_t past_len,
                           uint64_t dim, const std::shared_ptr<CommandBuffer>& command);
  void add_bias(const VXTensorPtr& y, const VXTensorPtr& bias, uint64_t n,
                const std::shared_ptr<CommandBuffer>& command);
  // Library paths (vx_graph_library.cpp).
  DeviceDataType activation_type() const;
  const MatrixMultiplication& matrix_multiplication(const std::string& key, bool transpose_right,
                                                    uint64_t rows, uint64_t columns,
                                                    uint64_t interior);
  void encode_matrix(const MatrixMultiplication& mm, const Matrix& left, const Matrix& right,
                     const Matrix& result, const std::shared_ptr<CommandBuffer>& command);
  LibraryGraph& library_graph(const std::string& key,
                              const std::function<void(LibraryGraph&)>& build);
  void encode_graph(LibraryGraph& g, const std::vector<GraphTensorData>& feeds,
                    const GraphTensorData& result, const std::shared_ptr<CommandBuffer>& command);
  void linear_graph(const VXTensorPtr& x, const VXTensorPtr& weight, const VXTensorPtr& bias,
                    const VXTensorPtr& y, uint64_t m, uint64_t n, uint64_t k,
                    const std::shared_ptr<CommandBuffer>& command);
  void linear_matrix(const VXTensorPtr& x, const VXTensorPtr& weight, const VXTensorPtr& bias,
                     const VXTensorPtr& y, uint64_t m, uint64_t n, uint64_t k,
                     const std::shared_ptr<CommandBuffer>& command);
  void attention_graph(const VXTensorPtr& q, const VXTensorPtr& keys, const VXTensorPtr& values,
                       const VXTensorPtr& mask, const VXTensorPtr& out, const AttentionDims& a,
                       const std::shared_ptr<CommandBuffer>& command);
  void attention_matrix(const VXTensorPtr& q, const VXTensorPtr& keys, const VXTensorPtr& values,
                        const VXTensorPtr& mask, const VXTensorPtr& out, const AttentionDims& a,
                        const VXParams& params, const std::shared_ptr<CommandBuffer>& command);
  VXTensorPtr dequantize(const VXTensorPtr& weight, const std::shared_ptr<CommandBuffer>& command);

  std::shared_ptr<Device> device_;
  std::shared_ptr<CommandQueue> queue_;
  std::shared_ptr<DeviceBuffer> weights_buffer_;
  // Looked up by name without building a string on every dispatch.
  std::map<std::string, std::shared_ptr<ComputePipeline>, std::less<>> pipelines_;
  // Matrix-multiplication objects and built library graphs, by shape key.
  std::map<std::string, std::shared_ptr<MatrixMultiplication>> matrices_;
  std::map<std::string, std::shared_ptr<LibraryGraph>> attention_graphs_;

  std::map<uint64_t, std::vector<std::shared_ptr<DeviceBuffer>>> pool_;
  std::unordered_set<const DeviceBuffer*> free_buffers_;

  std::vector<VXNode> nodes_;
  std::vector<VXValue> rows_;
  std::vector<VXTensorPtr> weights_;
  std::vector<std::string> groups_;
  std::vector<uint64_t> uses_;
  // Per node: how many linear nodes from it on read the same input through weight values, in one
  // group (at most kMaxLinearSiblings); the run decides from the shapes whether they share a
  // dispatch.
  std::vector<uint8_t> sibling_runs_;
  std::map<std::string, uint64_t> input_ids_;
  uint64_t logits_id_ = kNoLogits;
  static constexpr uint64_t kNoLogits = (uint64_t{1} << 63) - 1;

  std::vector<int64_t> cached_tokens_;
  std::vector<uint8_t> cached_pixels_;
  VXTensorMap cached_kv_;

  double last_gpu_ms_ = 0.0;
  double last_encode_ms_ = 0.0;
  std::vector<VXProfileRecord> last_profile_;

  bool mps_prefill_ = false;
  bool mps_attention_ = false;
  bool graph_attention_ = false;
  bool graph_linear_ = false;
  bool profile_ = false;
  const uint32_t* cancel_flag_ = nullptr;

  uint64_t activation_ = kVXActivationF16;
  uint64_t peak_metal_allocated_bytes_ = 0;
  uint64_t quantized_weights_ = 0;
  uint64_t resident_weight_bytes_ = 0;
  uint64_t peak_dequantized_weight_bytes_ = 0;
  uint64_t dequantized_weight_bytes_ = 0;
  uint64_t widened_weight_bytes_ = 0;
  uint64_t fused_int8_matvec_calls_ = 0;
  uint64_t fused_int8_embedding_calls_ = 0;
  uint64_t cache_capacity_ = 0;
  uint64_t cache_written_elements_ = 0;
  uint64_t cache_copied_elements_ = 0;
  uint64_t cache_buffer_count_ = 0;
  uint64_t cache_reserved_bytes_ = 0;

  EncodeHook encode_hook_;
  std::vector<std::string>* dispatch_log_ = nullptr;
};

}  // namespace vexa
