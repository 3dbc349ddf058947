// Sample containers for the container tests, the fuzz target and the benchmark: every stored
// type, every metadata type and a small graph, plus a plain weight loader that follows the load
// steps or the f32 plan the way the engines' loaders do.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "core/container.h"
#include "core/container_access.h"
#include "core/container_digest.h"
#include "core/container_writer.h"
#include "core/precision.h"
#include "core/weight_decode.h"

namespace vexa::testing {

struct Q8Tensor {
  uint64_t rows;
  uint64_t cols;
  std::vector<uint8_t> blocks;  // stored bytes
  std::vector<float> values;    // what decoding must give
};

// Deterministic Q8 rows: value (r, c) = scale_r x q with q in -127..127, padding slots zero.
inline Q8Tensor make_q8(uint64_t rows, uint64_t cols) {
  Q8Tensor t{rows, cols, {}, {}};
  const uint64_t blocks = (cols + 63) / 64;
  t.blocks.assign(rows * blocks * 68, 0);
  t.values.assign(rows * cols, 0.0f);
  for (uint64_t r = 0; r < rows; ++r) {
    for (uint64_t b = 0; b < blocks; ++b) {
      uint8_t* block = t.blocks.data() + 68 * (r * blocks + b);
      const float scale = 0.01f * static_cast<float>(r + b + 1);
      std::memcpy(block + 64, &scale, 4);
      for (uint64_t k = 0; k < 64; ++k) {
        const uint64_t c = 64 * b + k;
        if (c >= cols) break;
        const int q = static_cast<int>((r * 37 + c * 11) % 255) - 127;
        block[k] = static_cast<uint8_t>(static_cast<int8_t>(q));
        t.values[r * cols + c] = scale * static_cast<float>(q);
      }
    }
  }
  return t;
}

struct SampleModel {
  std::vector<float> f32_values;    // "conv.weight" (2, 3, 5)
  std::vector<uint16_t> f16_bits;   // "fc.weight" (4, 7)
  Q8Tensor q8;                      // "proj.weight" (3, 100)
  float scalar = 0.0f;              // "scale" rank 0, f32
  std::vector<uint8_t> bytes;       // the written container
};

inline std::vector<float> half_bits_reference(const std::vector<uint16_t>& bits) {
  std::vector<float> out;
  for (uint16_t h : bits) {
    const int e = (h >> 10) & 31;
    const int m = h & 1023;
    const double mag = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
    out.push_back(static_cast<float>((h & 0x8000) ? -mag : mag));
  }
  return out;
}

// Adds the sample tensors, metadata, graph and aux entry to a writer.
inline void fill_sample(ContainerWriter* w, SampleModel* m) {
  m->f32_values.resize(30);
  for (size_t i = 0; i < m->f32_values.size(); ++i) m->f32_values[i] = 0.25f * static_cast<float>(i) - 3.0f;
  m->f16_bits.resize(28);
  for (size_t i = 0; i < m->f16_bits.size(); ++i) m->f16_bits[i] = static_cast<uint16_t>(0x3c00 + 37 * i);
  m->f16_bits[0] = 0x0001;  // smallest subnormal
  m->f16_bits[1] = 0x8000;  // negative zero
  m->q8 = make_q8(3, 100);
  m->scalar = 6.5f;

  const uint64_t conv_dims[] = {2, 3, 5};
  const uint64_t fc_dims[] = {4, 7};
  const uint64_t proj_dims[] = {3, 100};
  const uint64_t t0 = w->add_tensor_f32("conv.weight", conv_dims, m->f32_values.data());
  const uint64_t t1 = w->add_tensor_f16("fc.weight", fc_dims, m->f16_bits.data());
  const uint64_t t2 = w->add_tensor_q8("proj.weight", proj_dims, m->q8.blocks.data());
  const uint64_t t3 = w->add_tensor_f32("scale", {}, &m->scalar);

  w->set_meta_string("task", "classification");
  w->set_meta_string("empty", "");
  w->set_meta_f64("threshold", 0.375);
  w->set_meta_i64("classes", -1000);
  w->set_meta_bool("fp16_safe", true, kMetaFlagImmutable);
  const std::string_view labels[] = {"a", "", "b"};
  w->set_meta_string_list("labels", labels);
  const float mean[] = {0.485f, 0.456f, 0.406f};
  w->set_meta_f32_array("mean", mean);
  w->set_meta_opaque("blob", std::string_view("\x01\x00\x02", 3));

  GraphValue input{};
  input.kind = static_cast<uint64_t>(ValueKind::kGraphInput);
  input.dtype = 2;
  input.rank = 2;
  input.dims[0] = 1;
  input.dims[1] = 100;
  input.element_count = 100;
  input.byte_size = 400;
  const uint64_t v_in = w->add_value(input, "input");
  const uint64_t v_w0 = w->add_weight_value(t0, "conv.weight");
  const uint64_t v_w1 = w->add_weight_value(t1, "fc.weight");
  const uint64_t v_w2 = w->add_weight_value(t2, "proj.weight");
  const uint64_t v_w3 = w->add_weight_value(t3, "scale");
  GraphValue output = input;
  output.kind = static_cast<uint64_t>(ValueKind::kGraphOutput);
  output.dims[1] = 3;
  output.element_count = 3;
  output.byte_size = 12;
  const uint64_t v_out = w->add_value(output, "logits");
  GraphNode node{};
  node.op_kind = static_cast<uint64_t>(OpKind::kGemm);
  node.input_count = 2;
  node.inputs[0] = v_in;
  node.inputs[1] = v_w2;
  node.output_count = 1;
  node.outputs[0] = v_out;
  node.attrs[0] = 1;
  w->add_node(node);
  (void)v_w0;
  (void)v_w1;
  (void)v_w3;
  w->add_aux("config.json", "{\"a\":1}");
}

inline SampleModel make_sample() {
  SampleModel m;
  ContainerWriter w;
  fill_sample(&w, &m);
  std::string error;
  if (!w.write_to_memory(&m.bytes, &error)) m.bytes.clear();
  return m;
}

// An anonymous file holding `prefix` bytes of 0xAB, the data, then `suffix` bytes of 0xCD.
inline int memory_file(const std::vector<uint8_t>& data, uint64_t prefix = 0, uint64_t suffix = 0) {
  const int fd = memfd_create("vexa-test", MFD_CLOEXEC);
  if (fd < 0) return -1;
  std::vector<uint8_t> all(prefix, 0xAB);
  all.insert(all.end(), data.begin(), data.end());
  all.insert(all.end(), suffix, 0xCD);
  size_t done = 0;
  while (done < all.size()) {
    const ssize_t r = write(fd, all.data() + done, all.size() - done);
    if (r <= 0) {
      close(fd);
      return -1;
    }
    done += static_cast<size_t>(r);
  }
  return fd;
}

// Loads the weights into host memory as the engines' loaders do: the first set of load steps
// without a plan, the plan entries (decoding f16 and Q8) with one. Empty on any failure.
inline bool load_weights(const OpenContainer& c, std::vector<uint8_t>* memory) {
  memory->assign(c.weights_data_size, 0);
  if (c.plan == nullptr) {
    const uint64_t groups = container_section_count(&c, kSectionGroups);
    for (uint64_t g = 0; g < groups; ++g) {
      const auto step = load_record<LoadStep>(c.image + container_entry_offset(&c, kSectionLoadSteps, g));
      if (!container_range_ok(step.relative_offset, step.size, memory->size())) return false;
      if (!read_fully_at(c.fd, memory->data() + step.relative_offset, step.size,
                         c.base_offset + step.absolute_offset)) {
        return false;
      }
    }
    return true;
  }
  std::vector<uint8_t> scratch;
  for (uint64_t k = 0; k < c.plan_count; ++k) {
    const F32Plan& e = c.plan[k];
    const uint64_t f32_bytes = e.rows * e.row_length * 4;
    if (!container_range_ok(e.f32_offset, e.stored_dtype == 2 ? e.stored_size : f32_bytes,
                            memory->size())) {
      return false;
    }
    if (e.stored_dtype == 2) {
      if (!read_fully_at(c.fd, memory->data() + e.f32_offset, e.stored_size,
                         c.base_offset + e.source_offset)) {
        return false;
      }
      continue;
    }
    scratch.assign(e.stored_size, 0);
    if (!read_fully_at(c.fd, scratch.data(), e.stored_size, c.base_offset + e.source_offset)) {
      return false;
    }
    if (!weights_decode_f32(e.stored_dtype, e.rows, e.row_length, scratch.data(),
                            reinterpret_cast<float*>(memory->data() + e.f32_offset))) {
      return false;
    }
  }
  return true;
}

// Calls every accessor on an opened container (at most max_records records of each kind), then
// loads and verifies the weights when they need at most max_weight_bytes. What the corruption
// test and the fuzz target run on every container that opens: it must never crash or read out of
// bounds, whatever the container holds.
inline void exercise_accessors(const OpenContainer& c, uint64_t max_records,
                               uint64_t max_weight_bytes) {
  const uint64_t tensors = container_tensor_count(&c);
  for (uint64_t j = 0; j <= tensors && j < max_records; ++j) (void)container_weight_view(&c, j);
  for (uint64_t i = 0; i <= container_node_count(&c) && i < max_records; ++i) {
    (void)op_kind_name(container_read_node(&c, i).op_kind);
  }
  for (uint64_t i = 0; i <= container_value_count(&c) && i < max_records; ++i) {
    const GraphValue v = container_read_value(&c, i);
    (void)pool_string(&c, v.name_offset, v.name_length);
  }
  for (uint64_t i = 0; i < meta_count(&c) && i < max_records; ++i) {
    const MetaEntry e = meta_entry_at(&c, i);
    (void)pool_string(&c, e.key_offset, e.key_length);
    (void)meta_value_ptr(&c, e);
  }
  (void)meta_live_count(&c);
  for (const char* key : {"task", "threshold", "classes", "fp16_safe", "labels", "mean", "blob"}) {
    const uint64_t n = std::strlen(key);
    (void)meta_get_str(&c, key, n, "", 0);
    (void)meta_get_f64(&c, key, n, 0.0);
    (void)meta_get_i64(&c, key, n, 0);
    (void)meta_get_bool(&c, key, n, false);
    uint64_t count = 0;
    const uint8_t* arr = meta_get_f32_array(&c, key, n, &count);
    volatile float sum = 0;
    for (uint64_t i = 0; arr != nullptr && i < count; ++i) sum = sum + meta_f32_at(arr, i);
    for (uint64_t i = 0; i < 4; ++i) (void)meta_get_str_list_item(&c, key, n, i);
  }
  (void)resolve_precision(&c, "cpu");
  std::vector<uint8_t> memory;
  if (c.weights_data_size <= max_weight_bytes && load_weights(c, &memory)) {
    (void)container_verify_tensors(&c, memory.data());
  }
}

}  // namespace vexa::testing
