#include "tools/onnx_wire.h"


#include <cstring>
#include <string>
#include <vector>

#include "core/container.h"
#include "tools/file_read.h"

namespace vexa::tools {

namespace {

constexpr uint32_t kVarintShiftLimit = 64;
constexpr uint8_t kVarintMore = 0x80;
constexpr uint8_t kVarintPayload = 0x7f;
constexpr uint64_t kDataLocationExternal = 1;

// TensorProto field numbers.
enum TensorField : uint32_t {
  kTensorDims = 1, kTensorDataType = 2, kTensorFloatData = 4, kTensorInt32Data = 5,
  kTensorInt64Data = 7, kTensorName = 8, kTensorRawData = 9, kTensorExternalData = 13,
  kTensorDataLocation = 14,
};

std::string_view span_text(const uint8_t* image, uint64_t start, uint64_t length) {
  return std::string_view(reinterpret_cast<const char*>(image + start), length);
}

// Half to float, exactly (subnormals normalised, infinities and NaN kept).
float half_to_float(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  uint32_t exp = (h >> 10) & 0x1fu;
  uint32_t mant = h & 0x3ffu;
  uint32_t bits;
  if (exp == 0) {
    if (mant == 0) {
      bits = sign;
    } else {
      exp = 127 - 15 + 1;
      while ((mant & 0x400u) == 0) {
        mant <<= 1;
        --exp;
      }
      mant &= 0x3ffu;
      bits = sign | (exp << 23) | (mant << 13);
    }
  } else if (exp == 0x1fu) {
    bits = sign | 0x7f800000u | (mant << 13);
  } else {
    bits = sign | ((exp + 127 - 15) << 23) | (mant << 13);
  }
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Packed or one-per-field repeated varints.
bool read_repeated_varints(WireCursor& c, uint32_t wire, std::vector<int64_t>& out) {
  if (wire == kWireVarint) {
    out.push_back(static_cast<int64_t>(wire_read_varint(c)));
    return true;
  }
  if (wire != kWireBytes) return false;
  uint64_t start = 0, n = 0;
  if (!wire_read_bytes(c, start, n)) return false;
  WireCursor inner{c.image, start, start + n};
  while (!inner.done()) out.push_back(static_cast<int64_t>(wire_read_varint(inner)));
  return true;
}

bool read_repeated_floats(WireCursor& c, uint32_t wire, std::vector<float>& out) {
  if (wire == kWireFixed32) {
    if (c.end - c.pos < 4) return false;
    float f;
    std::memcpy(&f, c.image + c.pos, 4);
    c.pos += 4;
    out.push_back(f);
    return true;
  }
  if (wire != kWireBytes) return false;
  uint64_t start = 0, n = 0;
  if (!wire_read_bytes(c, start, n) || n % 4 != 0) return false;
  if (n == 0) return true;
  const uint64_t first = out.size();
  out.resize(first + n / 4);
  std::memcpy(out.data() + first, c.image + start, n);
  return true;
}

// Strict decimal: digits only, no overflow.
bool parse_decimal(std::string_view text, uint64_t& value) {
  if (text.empty()) return false;
  value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(ch - '0');
    if (value > (~uint64_t{0} - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}


// A location is a relative path below the model's folder.
bool location_is_safe(std::string_view location) {
  if (location.empty() || location.front() == '/') return false;
  if (location.find('\0') != std::string_view::npos) return false;
  size_t begin = 0;
  while (begin <= location.size()) {
    size_t slash = location.find('/', begin);
    if (slash == std::string_view::npos) slash = location.size();
    if (location.substr(begin, slash - begin) == "..") return false;
    begin = slash + 1;
  }
  return true;
}

struct TensorParts {
  std::string_view name;
  uint64_t data_type = kOnnxFloat;
  uint64_t rank = 0;
  uint64_t dims[kMaxRank] = {};
  bool too_many_dims = false;
  bool negative_dim = false;
  std::vector<float> floats;
  std::vector<int64_t> ints;
  bool has_floats = false, has_ints = false;
  bool has_raw = false;
  uint64_t raw_start = 0, raw_length = 0;
  bool external = false;
  bool has_offset = false, has_length = false, has_location = false;
  uint64_t ext_offset = 0, ext_length = 0;
  std::string_view location;
  bool bad_external_number = false;
};

bool read_external_entry(WireCursor& c, TensorParts& t) {
  uint64_t start = 0, n = 0;
  if (!wire_read_bytes(c, start, n)) return false;
  WireCursor e{c.image, start, start + n};
  std::string_view key, value;
  uint32_t field = 0, wire = 0;
  while (wire_read_tag(e, field, wire)) {
    if ((field == 1 || field == 2) && wire == kWireBytes) {
      uint64_t s0 = 0, len = 0;
      if (!wire_read_bytes(e, s0, len)) return false;
      (field == 1 ? key : value) = span_text(c.image, s0, len);
    } else if (!onnx_skip_field(e, wire)) {
      return false;
    }
  }
  t.external = true;
  if (key == "location") {
    t.has_location = true;
    t.location = value;
  } else if (key == "offset" || key == "length") {
    uint64_t v = 0;
    if (!parse_decimal(value, v)) t.bad_external_number = true;
    if (key == "offset") {
      t.has_offset = true;
      t.ext_offset = v;
    } else {
      t.has_length = true;
      t.ext_length = v;
    }
  }
  return true;
}

bool read_tensor_parts(const uint8_t* image, uint64_t start, uint64_t end, TensorParts& t) {
  WireCursor c{image, start, end};
  uint32_t field = 0, wire = 0;
  std::vector<int64_t> dims;
  while (wire_read_tag(c, field, wire)) {
    switch (field) {
      case kTensorDims:
        if (!read_repeated_varints(c, wire, dims)) return false;
        continue;
      case kTensorDataType:
        if (wire != kWireVarint) break;
        t.data_type = wire_read_varint(c);
        continue;
      case kTensorFloatData:
        if (!read_repeated_floats(c, wire, t.floats)) return false;
        t.has_floats = true;
        continue;
      case kTensorInt32Data:
      case kTensorInt64Data: {
        std::vector<int64_t> raw;
        if (!read_repeated_varints(c, wire, raw)) return false;
        for (int64_t v : raw) {
          // int32_data holds each value sign-extended to 64 bits on the wire already; the low
          // 32 bits are the value.
          t.ints.push_back(field == kTensorInt32Data ? static_cast<int32_t>(v) : v);
        }
        t.has_ints = true;
        continue;
      }
      case kTensorName:
      case kTensorRawData:
        if (wire != kWireBytes) break;
        {
          uint64_t s0 = 0, n = 0;
          if (!wire_read_bytes(c, s0, n)) return false;
          if (field == kTensorName) {
            t.name = span_text(image, s0, n);
          } else {
            t.has_raw = true;
            t.raw_start = s0;
            t.raw_length = n;
          }
        }
        continue;
      case kTensorExternalData:
        if (wire != kWireBytes) break;
        if (!read_external_entry(c, t)) return false;
        continue;
      case kTensorDataLocation:
        if (wire != kWireVarint) break;
        if (wire_read_varint(c) == kDataLocationExternal) t.external = true;
        continue;
      default:
        break;
    }
    if (!onnx_skip_field(c, wire)) return false;
  }
  if (dims.size() > kMaxRank) t.too_many_dims = true;
  t.rank = dims.size() > kMaxRank ? kMaxRank : dims.size();
  for (uint64_t i = 0; i < t.rank; ++i) {
    if (dims[i] < 0) t.negative_dim = true;
    t.dims[i] = static_cast<uint64_t>(dims[i]);
  }
  return true;
}

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

bool tensor_fail(BuilderState& s, std::string_view name, const std::string& why) {
  s.detail = "tensor " + quoted(name) + ": " + why;
  return false;
}

// The bytes of an externally stored tensor, or false with the reason in s.detail.
bool external_bytes(BuilderState& s, const TensorParts& t, const uint8_t*& data, uint64_t& size) {
  std::string key;
  std::string path;
  if (t.has_location) {
    if (!location_is_safe(t.location)) {
      return tensor_fail(s, t.name, "external data location \"" + std::string(t.location) +
                                        "\" must be a relative path inside the model's folder");
    }
    key = std::string(t.location);
    path = s.model_dir.empty() ? key : s.model_dir + "/" + key;
  } else {
    key = "";
    path = s.model_path + ".data";
  }
  auto it = s.external_files.find(key);
  if (it == s.external_files.end()) {
    std::vector<uint8_t> bytes;
    const FileReadStatus read = read_regular_file(path.c_str(), bytes);
    if (read != FileReadStatus::kOk && read != FileReadStatus::kEmpty) {
      return tensor_fail(s, t.name, "external data file \"" + path + "\" cannot be read");
    }
    it = s.external_files.emplace(key, std::move(bytes)).first;
  }
  const uint64_t file_size = it->second.size();
  if (t.bad_external_number) {
    return tensor_fail(s, t.name, "external data offset or length is not a decimal number");
  }
  const uint64_t offset = t.has_offset ? t.ext_offset : 0;
  if (offset > file_size) {
    return tensor_fail(s, t.name, "external data offset " + std::to_string(offset) +
                                      " lies beyond the end of \"" + path + "\" (" +
                                      std::to_string(file_size) + " bytes)");
  }
  const uint64_t length = t.has_length ? t.ext_length : file_size - offset;
  if (length > file_size - offset) {
    return tensor_fail(s, t.name, "external data [" + std::to_string(offset) + ", +" +
                                      std::to_string(length) + ") runs past the end of \"" +
                                      path + "\" (" + std::to_string(file_size) + " bytes)");
  }
  data = it->second.data() + offset;
  size = length;
  return true;
}

}  // namespace

uint64_t wire_read_varint(WireCursor& c) {
  uint64_t value = 0;
  uint32_t shift = 0;
  while (c.pos < c.end) {
    const uint8_t b = c.image[c.pos++];
    if (shift < kVarintShiftLimit) value |= static_cast<uint64_t>(b & kVarintPayload) << shift;
    shift += 7;
    if ((b & kVarintMore) == 0) break;
  }
  return value;
}

bool wire_read_tag(WireCursor& c, uint32_t& field, uint32_t& wire_type) {
  if (c.done()) return false;
  const uint64_t tag = wire_read_varint(c);
  field = static_cast<uint32_t>(tag >> 3);
  wire_type = static_cast<uint32_t>(tag & 7);
  return true;
}

bool wire_read_bytes(WireCursor& c, uint64_t& start, uint64_t& length) {
  length = wire_read_varint(c);
  if (c.pos > c.end || length > c.end - c.pos) return false;
  start = c.pos;
  c.pos += length;
  return true;
}

bool onnx_skip_field(WireCursor& c, uint32_t wire_type) {
  switch (wire_type) {
    case kWireVarint:
      wire_read_varint(c);
      return true;
    case kWireFixed64:
      if (c.end - c.pos < 8) return false;
      c.pos += 8;
      return true;
    case kWireBytes: {
      uint64_t start = 0, n = 0;
      return wire_read_bytes(c, start, n);
    }
    case kWireFixed32:
      if (c.end - c.pos < 4) return false;
      c.pos += 4;
      return true;
    default:
      return false;
  }
}

std::string_view onnx_type_name(uint64_t type) {
  switch (type) {
    case kOnnxUndefined: return "undefined";
    case kOnnxFloat: return "float32";
    case kOnnxUint8: return "uint8";
    case kOnnxInt8: return "int8";
    case kOnnxUint16: return "uint16";
    case kOnnxInt16: return "int16";
    case kOnnxInt32: return "int32";
    case kOnnxInt64: return "int64";
    case kOnnxString: return "string";
    case kOnnxBool: return "bool";
    case kOnnxFloat16: return "float16";
    case kOnnxDouble: return "float64";
    case kOnnxUint32: return "uint32";
    case kOnnxUint64: return "uint64";
    case kOnnxBfloat16: return "bfloat16";
    default: return "other";
  }
}

bool onnx_read_tensor(BuilderState& s, uint32_t value, bool into_given, uint64_t start,
                      uint64_t end) {
  TensorParts t;
  if (!read_tensor_parts(s.image, start, end, t)) return false;
  if (!into_given && t.name.empty()) return true;  // nothing can refer to it
  const std::string_view shown = t.name.empty() && value < s.values.size()
                                     ? s.values[value].name : t.name;
  if (t.too_many_dims) return tensor_fail(s, shown, "rank above 6 is not supported");
  if (t.negative_dim) return tensor_fail(s, shown, "negative dimension");

  bool to_i64 = false;
  switch (t.data_type) {
    case kOnnxFloat: case kOnnxFloat16: case kOnnxInt8: case kOnnxUint8: case kOnnxBool:
      break;
    case kOnnxInt32: case kOnnxInt64:
      to_i64 = true;
      break;
    default:
      return tensor_fail(s, shown, "element type " + std::string(onnx_type_name(t.data_type)) +
                                       " cannot be converted (float32, float16, int8, uint8, "
                                       "bool, int32 and int64 can)");
  }
  uint64_t count = 0;
  if (!builder_element_count(t.rank, t.dims, count)) {
    return tensor_fail(s, shown, "more than 2^30 elements");
  }

  uint32_t index = value;
  if (!into_given) {
    index = builder_value_index(s, t.name);
    if (index >= s.values.size()) return tensor_fail(s, shown, "too many values");
  }
  BuilderValue& v = s.values[index];
  v.kind = static_cast<uint64_t>(ValueKind::kWeight);
  v.dtype = to_i64 ? kTypeI64 : kTypeF32;
  v.rank = t.rank;
  for (uint64_t i = 0; i < kMaxRank; ++i) v.dims[i] = i < t.rank ? t.dims[i] : 0;
  if (t.rank == 0 && !to_i64) {
    v.rank = 1;
    v.dims[0] = 1;
  }
  v.owned.clear();
  v.data = nullptr;
  v.data_bytes = 0;
  v.has_data = false;
  v.known = false;

  const uint64_t out_bytes = count * (to_i64 ? 8 : 4);
  if (t.has_floats || t.has_ints) {
    const uint64_t n = t.has_floats ? t.floats.size() : t.ints.size();
    if (t.has_floats && t.has_ints) return tensor_fail(s, shown, "mixes typed data fields");
    const bool floats_ok = t.data_type == kOnnxFloat;
    if (t.has_floats != floats_ok) {
      return tensor_fail(s, shown, "typed data field does not match element type " +
                                       std::string(onnx_type_name(t.data_type)));
    }
    if (n != count) {
      return tensor_fail(s, shown, std::to_string(n) + " values for " + std::to_string(count) +
                                       " elements");
    }
    std::vector<uint8_t> bytes(out_bytes);
    for (uint64_t i = 0; i < n; ++i) {
      if (to_i64) {
        std::memcpy(bytes.data() + i * 8, &t.ints[i], 8);
        continue;
      }
      float f = 0.0f;
      switch (t.data_type) {
        case kOnnxFloat: f = t.floats[i]; break;
        case kOnnxFloat16: f = half_to_float(static_cast<uint16_t>(t.ints[i])); break;
        case kOnnxInt8: f = static_cast<float>(static_cast<int8_t>(t.ints[i])); break;
        default: f = static_cast<float>(static_cast<uint8_t>(t.ints[i])); break;
      }
      std::memcpy(bytes.data() + i * 4, &f, 4);
    }
    builder_set_owned(v, std::move(bytes));
    return true;
  }

  const uint8_t* src = nullptr;
  uint64_t src_bytes = 0;
  if (t.has_raw && !t.external) {
    src = s.image + t.raw_start;
    src_bytes = t.raw_length;
  } else if (t.external) {
    if (!external_bytes(s, t, src, src_bytes)) return false;
  } else {
    if (count == 0) {
      builder_set_owned(v, {});
      return true;
    }
    return tensor_fail(s, shown, "holds no data");
  }

  uint64_t stored = 0;
  switch (t.data_type) {
    case kOnnxFloat: stored = 4; break;
    case kOnnxInt64: stored = 8; break;
    case kOnnxInt32: stored = 4; break;
    case kOnnxFloat16: stored = 2; break;
    default: stored = 1; break;
  }
  if (src_bytes != count * stored) {
    return tensor_fail(s, shown, std::to_string(src_bytes) + " bytes of data for " +
                                     std::to_string(count) + " " +
                                     std::string(onnx_type_name(t.data_type)) + " elements");
  }
  if (t.data_type == kOnnxFloat || t.data_type == kOnnxInt64) {
    v.data = src;
    v.data_bytes = src_bytes;
    v.has_data = true;
    return true;
  }
  std::vector<uint8_t> bytes(out_bytes);
  for (uint64_t i = 0; i < count; ++i) {
    switch (t.data_type) {
      case kOnnxInt32: {
        int32_t x;
        std::memcpy(&x, src + i * 4, 4);
        const int64_t w = x;
        std::memcpy(bytes.data() + i * 8, &w, 8);
        break;
      }
      case kOnnxFloat16: {
        uint16_t h;
        std::memcpy(&h, src + i * 2, 2);
        const float f = half_to_float(h);
        std::memcpy(bytes.data() + i * 4, &f, 4);
        break;
      }
      case kOnnxInt8: {
        const float f = static_cast<float>(static_cast<int8_t>(src[i]));
        std::memcpy(bytes.data() + i * 4, &f, 4);
        break;
      }
      default: {
        const float f = static_cast<float>(src[i]);
        std::memcpy(bytes.data() + i * 4, &f, 4);
        break;
      }
    }
  }
  builder_set_owned(v, std::move(bytes));
  return true;
}

bool onnx_read_value_info(const uint8_t* image, uint64_t start, uint64_t end, OnnxValueInfo& out) {
  out = OnnxValueInfo{};
  WireCursor c{image, start, end};
  uint32_t field = 0, wire = 0;
  while (wire_read_tag(c, field, wire)) {
    if (field == 1 && wire == kWireBytes) {
      uint64_t s0 = 0, n = 0;
      if (!wire_read_bytes(c, s0, n)) return false;
      out.name = span_text(image, s0, n);
      continue;
    }
    if (field != 2 || wire != kWireBytes) {
      if (!onnx_skip_field(c, wire)) return false;
      continue;
    }
    uint64_t ts = 0, tn = 0;
    if (!wire_read_bytes(c, ts, tn)) return false;
    WireCursor type{image, ts, ts + tn};
    while (wire_read_tag(type, field, wire)) {
      if (field != 1 || wire != kWireBytes) {
        if (!onnx_skip_field(type, wire)) return false;
        continue;
      }
      uint64_t tts = 0, ttn = 0;
      if (!wire_read_bytes(type, tts, ttn)) return false;
      WireCursor tensor{image, tts, tts + ttn};
      while (wire_read_tag(tensor, field, wire)) {
        if (field == 1 && wire == kWireVarint) {
          out.elem_type = wire_read_varint(tensor);
          continue;
        }
        if (field != 2 || wire != kWireBytes) {
          if (!onnx_skip_field(tensor, wire)) return false;
          continue;
        }
        uint64_t ss = 0, sn = 0;
        if (!wire_read_bytes(tensor, ss, sn)) return false;
        out.has_shape = true;
        out.rank = 0;
        WireCursor shape{image, ss, ss + sn};
        while (wire_read_tag(shape, field, wire)) {
          if (field != 1 || wire != kWireBytes) {
            if (!onnx_skip_field(shape, wire)) return false;
            continue;
          }
          uint64_t ds = 0, dn = 0;
          if (!wire_read_bytes(shape, ds, dn)) return false;
          if (out.rank >= kMaxRank) return false;
          const uint64_t d = out.rank++;
          WireCursor dim{image, ds, ds + dn};
          while (wire_read_tag(dim, field, wire)) {
            if (field == 1 && wire == kWireVarint) {
              const int64_t value = static_cast<int64_t>(wire_read_varint(dim));
              out.dims[d] = value > 0 ? static_cast<uint64_t>(value) : 0;
            } else if (field == 2 && wire == kWireBytes) {
              uint64_t ps = 0, pn = 0;
              if (!wire_read_bytes(dim, ps, pn)) return false;
              out.dim_params[d] = span_text(image, ps, pn);
            } else if (!onnx_skip_field(dim, wire)) {
              return false;
            }
          }
        }
      }
    }
  }
  return true;
}

void onnx_scan_node_header(const uint8_t* image, uint64_t start, uint64_t end,
                           OnnxNodeHeader& out) {
  out = OnnxNodeHeader{};
  WireCursor c{image, start, end};
  uint32_t field = 0, wire = 0;
  while (wire_read_tag(c, field, wire)) {
    if ((field == 3 || field == 4 || field == 7) && wire == kWireBytes) {
      uint64_t s0 = 0, n = 0;
      if (!wire_read_bytes(c, s0, n)) return;
      const std::string_view text = span_text(image, s0, n);
      if (field == 3) out.name = text;
      if (field == 4) out.op_type = text;
      if (field == 7) out.domain = text;
    } else if (!onnx_skip_field(c, wire)) {
      return;
    }
  }
}

std::string onnx_read_model(BuilderState& s, uint64_t& graph_start, uint64_t& graph_end) {
  WireCursor c{s.image, 0, s.image_size};
  bool have_graph = false;
  uint32_t field = 0, wire = 0;
  auto add_meta = [&](std::string key, std::string_view value) {
    if (s.meta.size() < kBuilderMaxMeta) s.meta.emplace_back(std::move(key), std::string(value));
  };
  while (wire_read_tag(c, field, wire)) {
    if (field == 1 && wire == kWireVarint) {
      s.ir_version = wire_read_varint(c);
      continue;
    }
    if ((field == 2 || field == 3 || field == 4 || field == 6) && wire == kWireBytes) {
      uint64_t s0 = 0, n = 0;
      if (!wire_read_bytes(c, s0, n)) return "corrupt ModelProto string";
      if (n == 0) continue;
      static constexpr const char* kKeys[] = {"", "", "onnx.producer_name",
                                              "onnx.producer_version", "onnx.domain", "",
                                              "onnx.doc_string"};
      add_meta(kKeys[field], span_text(s.image, s0, n));
      continue;
    }
    if (field == 7 && wire == kWireBytes) {
      uint64_t s0 = 0, n = 0;
      if (!wire_read_bytes(c, s0, n)) return "corrupt ModelProto";
      graph_start = s0;
      graph_end = s0 + n;
      have_graph = true;
      continue;
    }
    if (field == 8 && wire == kWireBytes) {
      uint64_t s0 = 0, n = 0;
      if (!wire_read_bytes(c, s0, n)) return "corrupt ModelProto opset_import";
      WireCursor e{s.image, s0, s0 + n};
      OnnxOpset op{std::string_view(), 0};
      uint32_t f2 = 0, w2 = 0;
      while (wire_read_tag(e, f2, w2)) {
        if (f2 == 1 && w2 == kWireBytes) {
          uint64_t ds = 0, dn = 0;
          if (!wire_read_bytes(e, ds, dn)) return "corrupt ModelProto opset_import";
          op.domain = span_text(s.image, ds, dn);
        } else if (f2 == 2 && w2 == kWireVarint) {
          op.version = wire_read_varint(e);
        } else if (!onnx_skip_field(e, w2)) {
          return "corrupt ModelProto opset_import";
        }
      }
      if (s.opsets.size() < kBuilderMaxOpsets) s.opsets.push_back(op);
      continue;
    }
    if (field == 14 && wire == kWireBytes) {
      uint64_t s0 = 0, n = 0;
      if (!wire_read_bytes(c, s0, n)) return "corrupt ModelProto metadata_props";
      WireCursor e{s.image, s0, s0 + n};
      std::string_view key, value;
      uint32_t f2 = 0, w2 = 0;
      while (wire_read_tag(e, f2, w2)) {
        if ((f2 == 1 || f2 == 2) && w2 == kWireBytes) {
          uint64_t ks = 0, kn = 0;
          if (!wire_read_bytes(e, ks, kn)) return "corrupt ModelProto metadata_props";
          (f2 == 1 ? key : value) = span_text(s.image, ks, kn);
        } else if (!onnx_skip_field(e, w2)) {
          return "corrupt ModelProto metadata_props";
        }
      }
      if (!key.empty()) add_meta(std::string(key), value);
      continue;
    }
    if (!onnx_skip_field(c, wire)) return "corrupt ModelProto";
  }
  if (!have_graph) return "no GraphProto found in ONNX";
  return "";
}

}  // namespace vexa::tools
