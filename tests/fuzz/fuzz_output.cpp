// Output post-processing and frame operations over arbitrary tensor shapes, counts and
// geometry: every path must refuse or compute without reading past a tensor.
#include <cstdint>
#include <cstring>
#include <vector>

#include "api/output.h"
#include "api/text_util.h"
#include "vexa/vexa.h"

namespace {

struct Reader {
  const uint8_t* p;
  size_t n;
  uint8_t u8() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  int16_t i16() { return static_cast<int16_t>(u16()); }
  float f32() {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(u8()) << (8 * i);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
  }
};

constexpr uint32_t kMaxFuzzValues = 4096;
const char* const kDecoders[] = {"", "scrfd", "xyxy", "yolov8_pose", "yolov8_xyxy"};
const char* const kTasks[] = {"", "pose", "detect"};

void set_name(char* field, uint64_t* len, const char* text) {
  *len = vexa::copy_bounded(text, std::strlen(text), field, vexa::kOutputMetaNameCapacity);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader r{data, size};
  vexa_output* out = vexa_output_new();
  if (out == nullptr) return 0;
  auto* o = reinterpret_cast<vexa::Output*>(out);
  const uint32_t tensors = 1 + r.u8() % 9;
  set_name(o->decode, &o->decode_len, kDecoders[r.u8() % 5]);
  set_name(o->task, &o->task_len, kTasks[r.u8() % 3]);
  o->input_width = r.u16() % 1300;
  o->input_height = r.u16() % 1300;
  o->source_width = r.u16();
  o->source_height = r.u16();
  o->scale_x = r.f32();
  o->scale_y = r.f32();
  o->pad_x = r.f32();
  o->pad_y = r.f32();
  o->boxes_corner_form = r.u8() & 1;
  for (uint32_t t = 0; t < tensors; ++t) {
    vexa::OutputTensor& ot = o->tensors[t];
    ot.rank = r.u8() % 7;
    for (uint32_t d = 0; d < ot.rank; ++d) {
      const int16_t v = r.i16();
      // Mostly small dims, sometimes huge ones to reach overflowing products.
      ot.dims[d] = (v & 0x4000) ? int64_t{v} << 40 : v % 300;
    }
    ot.count = r.u16() % (kMaxFuzzValues + 1);
    if (!vexa::output_tensor_reserve_f32(&ot, ot.count)) break;
    for (uint64_t i = 0; i < ot.count && r.n >= 4; ++i) ot.f32_data[i] = r.f32();
    o->tensor_count = t + 1;
  }
  const uint8_t op = r.u8();
  vexa_output_decode_boxes(out, r.u8() % 300, r.f32(), r.f32());
  vexa_output_compute_top_k(out, op % 10, r.u8(), r.u8() & 1);
  vexa_output_normalize_l2(out, r.u8() % 10);
  vexa_output_cosine_similarity(out, r.u8() % 10, out, r.u8() % 10);
  vexa_frame* frame = vexa_frame_new();
  vexa_output_to_frame(out, r.u8() % 10, frame, r.f32(), r.f32());

  // Raw pixels and crops with fuzzed geometry over the remaining bytes.
  std::vector<uint8_t> pixels(r.p, r.p + r.n);
  const uint32_t w = r.u16(), h = r.u16();
  const uint64_t stride = r.u16();
  const uint32_t format = r.u8() % 7, orientation = r.u8() % 10;
  vexa_frame_set_pixels(frame, pixels.data(), pixels.size(), w, h, stride, format, orientation,
                        r.u8() & 1);
  vexa_frame* crop = vexa_frame_new();
  vexa_frame_crop_into(frame, crop, r.i16(), r.i16(), r.i16(), r.i16());
  vexa_frame_free(frame);
  vexa_frame_free(crop);
  vexa_output_free(out);
  return 0;
}
