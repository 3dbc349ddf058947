// How the weights reach the graph, each in the first way that applies:
//   private  (VEXA_MPS_PRIVATE_WEIGHTS, above VEXA_MPS_PRIVATE_MIN elements): one private
//            buffer, uploaded through a staging buffer; large weights each a fed placeholder,
//            small ones packed into one pool placeholder and sliced out of it;
//   fed      (VEXA_MPS_FEED_WEIGHTS, from VEXA_MPS_FEED_MIN elements): a placeholder fed with a
//            view of the slot's own buffer, so no copy is kept;
//   constant otherwise: the values copied into the graph.
#include "gpu/mps_weights.h"

#include <cstdlib>
#include <cstring>

namespace vexa {

namespace {

constexpr uint64_t kDefaultFeedMin = 4096;
constexpr uint64_t kDefaultPrivateMin = 1;
// Weights below this many elements share the private pool.
constexpr uint64_t kPrivatePoolMaxElements = 4096;
constexpr uint64_t kPrivateAlignBytes = 256;
constexpr uint64_t kF16Bytes = 2;

uint64_t round_up(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }

// The leading decimal digits of a variable's value; 0 when it starts with anything else,
// `fallback` when it is not set.
uint64_t env_count(const char* name, uint64_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr) return fallback;
  uint64_t n = 0;
  for (; *v >= '0' && *v <= '9'; ++v) {
    const uint64_t digit = static_cast<uint64_t>(*v - '0');
    n = n > (UINT64_MAX - digit) / 10 ? UINT64_MAX : n * 10 + digit;
  }
  return n;
}

bool env_set(const char* name) { return std::getenv(name) != nullptr; }

bool add_feed(MpsState* s, uint64_t id, GraphTensor placeholder, GraphTensorData data,
              std::string* error) {
  if (s->feed_list.size() >= kMpsMaxFeeds) {
    *error = "more than 8192 fed tensors";
    return false;
  }
  s->feed_list.push_back(static_cast<uint32_t>(id));
  s->placeholders[id] = placeholder;
  s->feeds[placeholder] = std::move(data);
  return true;
}

class WeightBuilder {
 public:
  WeightBuilder(MpsState* s, const uint8_t* slot_data, GpuContext* context,
                const MpsWeightSwitches& sw)
      : s_(s), slot_(slot_data), context_(context), sw_(sw) {}

  bool build(std::string* error) {
    Graph& g = *s_->graph;
    element_bytes_ = s_->compute == DeviceDataType::kFloat16 ? kF16Bytes : kMpsF32Bytes;
    if (sw_.private_weights && !plan_private(error)) return false;
    for (uint64_t id = 0; id < s_->values.size(); ++id) {
      MpsValue& v = s_->values[id];
      if (v.record.kind != static_cast<uint64_t>(ValueKind::kWeight)) continue;
      const uint64_t n = v.record.element_count;
      bool ok = false;
      if (sw_.private_weights && n > sw_.private_min) {
        ok = private_weight(id, error);
      } else if (sw_.feed_weights && n >= sw_.feed_min) {
        ok = fed_weight(id, error);
      } else {
        ok = constant_weight(id, error);
      }
      if (!ok) return false;
      if (!g.ok()) {
        *error = "weight " + std::to_string(id) + ": " + g.error();
        return false;
      }
    }
    if (staging_ != nullptr && staging_->contents() != nullptr) {
      std::memset(staging_->contents(), 0, staging_->length());
    }
    staging_.reset();
    return true;
  }

 private:
  const float* data_of(const MpsValue& v) const {
    return reinterpret_cast<const float*>(slot_ + v.record.data_offset);
  }
  GraphShape shape_of(const MpsValue& v) const { return mps_shape(v.record.rank, v.record.dims); }

  bool plan_private(std::string* error) {
    uint64_t largest = 0;
    for (const MpsValue& v : s_->values) {
      if (v.record.kind != static_cast<uint64_t>(ValueKind::kWeight)) continue;
      const uint64_t n = v.record.element_count;
      if (n <= sw_.private_min) continue;
      if (n < kPrivatePoolMaxElements) {
        pool_elements_ += n;
      } else {
        large_bytes_ += round_up(n * element_bytes_, kPrivateAlignBytes);
      }
      largest = n * kMpsF32Bytes > largest ? n * kMpsF32Bytes : largest;
    }
    uint64_t total = round_up(pool_elements_ * element_bytes_, kPrivateAlignBytes) + large_bytes_;
    if (total == 0) total = kPrivateAlignBytes;
    uint64_t staging = largest + (element_bytes_ == kF16Bytes ? largest / 2 : 0);
    if (staging == 0) staging = kPrivateAlignBytes;
    s_->private_buffer = s_->device->new_buffer(total, StorageMode::kPrivate);
    staging_ = s_->device->new_buffer(staging, StorageMode::kShared);
    if (s_->private_buffer == nullptr || staging_ == nullptr) {
      *error = "private weight buffer allocation failed";
      return false;
    }
    pool_offset_ = large_bytes_;
    s_->private_weights = true;
    return true;
  }

  // Copies one weight (as the compute type) into the private buffer at `offset`.
  bool upload(const MpsValue& v, uint64_t offset, std::string* error) {
    const uint64_t n = v.record.element_count;
    auto* staged = static_cast<uint8_t*>(staging_->contents());
    if (element_bytes_ == kF16Bytes) {
      convert_f32_to_f16(data_of(v), reinterpret_cast<uint16_t*>(staged), n);
    } else {
      std::memcpy(staged, data_of(v), n * kMpsF32Bytes);
    }
    const uint64_t bytes = n * element_bytes_;
    std::shared_ptr<CommandBuffer> cb = s_->queue->command_buffer();
    std::shared_ptr<BlitEncoder> blit = cb != nullptr ? cb->blit_encoder() : nullptr;
    if (blit == nullptr) {
      *error = "private weight upload failed";
      return false;
    }
    blit->copy(staging_, 0, s_->private_buffer, offset, bytes);
    blit->end_encoding();
    cb->commit();
    cb->wait_until_completed();
    std::memset(staged, 0, bytes);
    if (cb->status() != CommandBufferStatus::kCompleted) {
      *error = "private weight upload failed: " + cb->error_message();
      return false;
    }
    return true;
  }

  bool private_weight(uint64_t id, std::string* error) {
    Graph& g = *s_->graph;
    MpsValue& v = s_->values[id];
    const uint64_t n = v.record.element_count;
    const int64_t elements = static_cast<int64_t>(n);
    GraphTensor t;
    if (n >= kPrivatePoolMaxElements) {
      if (!upload(v, large_offset_, error)) return false;
      const GraphTensor ph = g.placeholder({elements}, s_->compute);
      NdArray view(s_->private_buffer, large_offset_, NdArrayDescriptor{s_->compute, {elements}});
      if (!ph.valid()) {
        *error = "private weight view construction failed";
        return false;
      }
      if (!add_feed(s_, id, ph, GraphTensorData(view), error)) return false;
      large_offset_ += round_up(n * element_bytes_, kPrivateAlignBytes);
      t = ph;
    } else {
      if (!pool_.valid()) {
        const int64_t pool = static_cast<int64_t>(pool_elements_);
        pool_ = g.placeholder({pool}, s_->compute);
        NdArray view(s_->private_buffer, pool_offset_, NdArrayDescriptor{s_->compute, {pool}});
        if (!pool_.valid()) {
          *error = "private weight pool construction failed";
          return false;
        }
        if (!add_feed(s_, id, pool_, GraphTensorData(view), error)) return false;
      }
      if (!upload(v, pool_offset_ + pool_used_ * element_bytes_, error)) return false;
      t = g.slice(pool_, 0, static_cast<int64_t>(pool_used_), elements);
      pool_used_ += n;
    }
    v.tensor = g.reshape(t, shape_of(v));
    // Only a weight that really is fed makes the graph need feeding; the switch alone does not.
    s_->weights_fed = true;
    return true;
  }

  bool fed_weight(uint64_t id, std::string* error) {
    Graph& g = *s_->graph;
    MpsValue& v = s_->values[id];
    const int64_t elements = static_cast<int64_t>(v.record.element_count);
    const std::shared_ptr<DeviceBuffer>& weights = gpu_context_weights(context_);
    const GraphTensor ph = g.placeholder({elements}, DeviceDataType::kFloat32);
    if (weights == nullptr || !ph.valid()) {
      *error = "weight view construction failed";
      return false;
    }
    NdArray view(weights, v.record.data_offset,
                 NdArrayDescriptor{DeviceDataType::kFloat32, {elements}});
    if (!add_feed(s_, id, ph, GraphTensorData(view), error)) return false;
    GraphTensor t = g.reshape(ph, shape_of(v));
    if (s_->compute != DeviceDataType::kFloat32) t = g.cast(t, s_->compute);
    v.tensor = t;
    s_->weights_fed = true;
    return true;
  }

  bool constant_weight(uint64_t id, std::string* error) {
    Graph& g = *s_->graph;
    MpsValue& v = s_->values[id];
    const uint64_t n = v.record.element_count;
    const GraphShape shape = shape_of(v);
    if (n == 0) {
      *error = "weight constant construction failed";
      return false;
    }
    GraphTensor t;
    if (n == 1) {
      t = g.reshape(g.constant_scalar(data_of(v)[0], s_->compute), shape);
    } else if (s_->compute == DeviceDataType::kFloat16) {
      std::vector<uint16_t> half;
      try {
        half.resize(n);
      } catch (const std::bad_alloc&) {
        *error = "weight conversion allocation failed";
        return false;
      }
      convert_f32_to_f16(data_of(v), half.data(), n);
      t = g.constant_data(half.data(), n * kF16Bytes, shape, DeviceDataType::kFloat16);
    } else {
      t = g.constant_data(data_of(v), n * kMpsF32Bytes, shape, DeviceDataType::kFloat32);
    }
    if (!t.valid()) {
      *error = "weight constant construction failed";
      return false;
    }
    v.tensor = t;
    return true;
  }

  MpsState* s_;
  const uint8_t* slot_;
  GpuContext* context_;
  const MpsWeightSwitches& sw_;
  uint64_t element_bytes_ = kMpsF32Bytes;
  std::shared_ptr<DeviceBuffer> staging_;
  uint64_t pool_elements_ = 0;
  uint64_t large_bytes_ = 0;
  uint64_t large_offset_ = 0;
  uint64_t pool_offset_ = 0;
  uint64_t pool_used_ = 0;
  GraphTensor pool_{};
};

}  // namespace

MpsWeightSwitches mps_weight_switches() {
  MpsWeightSwitches sw;
  sw.feed_weights = env_set("VEXA_MPS_FEED_WEIGHTS");
  sw.feed_min = env_count("VEXA_MPS_FEED_MIN", kDefaultFeedMin);
  sw.private_weights = env_set("VEXA_MPS_PRIVATE_WEIGHTS");
  sw.private_min = env_count("VEXA_MPS_PRIVATE_MIN", kDefaultPrivateMin);
  return sw;
}

bool mps_build_weights(MpsState* state, const uint8_t* slot_data, GpuContext* context,
                       const MpsWeightSwitches& sw, std::string* error) {
  WeightBuilder b(state, slot_data, context, sw);
  return b.build(error);
}

}  // namespace vexa
