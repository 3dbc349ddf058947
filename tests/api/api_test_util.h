// Helpers shared by the C API tests: RAII wrappers over the handles and an output filler.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "api/frame.h"
#include "api/output.h"
#include "api/text_util.h"
#include "vexa/vexa.h"

namespace vexa_test {

struct FrameDeleter {
  void operator()(vexa_frame* f) const { vexa_frame_free(f); }
};
struct OutputDeleter {
  void operator()(vexa_output* o) const { vexa_output_free(o); }
};
struct InputDeleter {
  void operator()(vexa_input* i) const { vexa_input_free(i); }
};
using FramePtr = std::unique_ptr<vexa_frame, FrameDeleter>;
using OutputPtr = std::unique_ptr<vexa_output, OutputDeleter>;
using InputPtr = std::unique_ptr<vexa_input, InputDeleter>;

inline FramePtr new_frame() { return FramePtr(vexa_frame_new()); }
inline OutputPtr new_output() { return OutputPtr(vexa_output_new()); }
inline InputPtr new_input() { return InputPtr(vexa_input_new()); }

inline vexa::Frame* rec(vexa_frame* f) { return reinterpret_cast<vexa::Frame*>(f); }
inline vexa::Output* rec(vexa_output* o) { return reinterpret_cast<vexa::Output*>(o); }

inline std::string frame_message(const vexa_frame* f) {
  return std::string(vexa_frame_error_message_ptr(f), vexa_frame_error_message_len(f));
}

// Appends an f32 tensor with the given dims and values (values may be fewer than the dims'
// product, to build short tensors on purpose).
inline int add_tensor(vexa_output* out, const std::string& name, std::vector<int64_t> dims,
                      const std::vector<float>& values) {
  vexa::Output* o = rec(out);
  const uint64_t i = o->tensor_count;
  vexa::OutputTensor& t = o->tensors[i];
  t.name_len = vexa::copy_bounded(name.data(), name.size(), t.name, sizeof t.name);
  t.dtype = 2;
  t.rank = static_cast<uint32_t>(dims.size());
  for (size_t k = 0; k < dims.size(); ++k) t.dims[k] = dims[k];
  t.count = values.size();
  if (!vexa::output_tensor_reserve_f32(&t, values.size())) return -1;
  if (!values.empty()) std::memcpy(t.f32_data, values.data(), values.size() * sizeof(float));
  o->tensor_count = i + 1;
  return static_cast<int>(i);
}

inline void set_text(char* field, uint64_t* len, const std::string& text) {
  *len = vexa::copy_bounded(text.data(), text.size(), field, 32);
}

}  // namespace vexa_test
