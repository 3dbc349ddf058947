#include "tools/convert_bindings.h"

#include <cstring>

#include "tools/family_rewrites.h"
#include "tools/onnx_wire.h"

namespace vexa::tools {

namespace {

constexpr uint32_t kGraphInputField = 11;
constexpr uint64_t kOptionBatchShift = 32;
constexpr uint64_t kOptionLowMask = 0xffffffffu;
constexpr uint64_t kOptionHeightShift = 16;
constexpr uint64_t kOptionHalfMask = 0xffffu;
constexpr uint64_t kDefaultChannels = 3;

std::string_view binding_name(const char* name, uint64_t length) {
  return std::string_view(name, length);
}

bool all_digits(std::string_view t) {
  if (t.empty()) return false;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Positive decimal without overflow; false for 0, empty or non-digits.
bool parse_positive(std::string_view t, uint64_t& v) {
  if (!all_digits(t)) return false;
  v = 0;
  for (char c : t) {
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (~uint64_t{0} - d) / 10) return false;
    v = v * 10 + d;
  }
  return v != 0;
}

int64_t find_dim(const InputBindings& b, std::string_view name) {
  for (uint64_t i = 0; i < b.dim_count; ++i) {
    if (binding_name(b.dims[i].name, b.dims[i].name_length) == name) return static_cast<int64_t>(i);
  }
  return -1;
}

std::string type_word(uint64_t dtype) { return dtype == kTypeI64 ? "int64" : "float32"; }
std::string type_suffix(uint64_t dtype) { return dtype == kTypeI64 ? "i64" : "f32"; }

}  // namespace

void onnx_bindings_init(InputBindings& b) { std::memset(&b, 0, sizeof b); }

BindingParse onnx_parse_input_option(InputBindings& b, std::string_view text) {
  BindingParse r;
  const std::string prefix = "--input " + std::string(text);
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos || eq == 0 || eq > kBindingMaxNameLength) {
    r.error = prefix + ": expected name=<d0>x<d1>...[:f32|:i64]";
    return r;
  }
  if (b.input_count >= kBindingMaxInputs) {
    r.error = "--input: at most 16 inputs";
    return r;
  }
  const std::string_view name = text.substr(0, eq);
  std::string_view rest = text.substr(eq + 1);
  uint64_t dtype = 0;
  const size_t colon = rest.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view suffix = rest.substr(colon);
    if (suffix == ":f32") {
      dtype = kTypeF32;
    } else if (suffix == ":i64") {
      dtype = kTypeI64;
    } else {
      r.error = prefix + ": type must be :f32 or :i64";
      return r;
    }
    rest = rest.substr(0, colon);
  }
  InputBinding entry{};
  bool ok = !rest.empty();
  size_t begin = 0;
  while (ok && begin <= rest.size()) {
    size_t x = rest.find('x', begin);
    if (x == std::string_view::npos) x = rest.size();
    uint64_t d = 0;
    if (entry.rank >= kMaxRank || !parse_positive(rest.substr(begin, x - begin), d)) {
      ok = false;
      break;
    }
    entry.dims[entry.rank++] = d;
    begin = x + 1;
  }
  if (!ok) {
    r.error = prefix + ": dims must be positive integers joined by 'x', at most 6";
    return r;
  }
  if (onnx_find_input_binding(b, name) >= 0) {
    r.error = prefix + ": input given twice";
    return r;
  }
  std::memcpy(entry.name, name.data(), name.size());
  entry.name_length = name.size();
  entry.dtype = dtype;
  b.inputs[b.input_count++] = entry;
  r.name = binding_name(b.inputs[b.input_count - 1].name, name.size());
  return r;
}

BindingParse onnx_parse_dim_option(InputBindings& b, std::string_view text) {
  BindingParse r;
  const std::string prefix = "--dim " + std::string(text);
  const size_t eq = text.find('=');
  uint64_t value = 0;
  if (eq == std::string_view::npos || eq == 0 || eq > kBindingMaxNameLength ||
      !parse_positive(text.substr(eq + 1), value)) {
    r.error = prefix + ": expected name=<positive integer>";
    return r;
  }
  const std::string_view name = text.substr(0, eq);
  if (find_dim(b, name) >= 0) {
    r.error = prefix + ": dim given twice";
    return r;
  }
  if (b.dim_count >= kBindingMaxDims) {
    r.error = "--dim: at most 32 dims";
    return r;
  }
  DimBinding& d = b.dims[b.dim_count++];
  d = DimBinding{};
  std::memcpy(d.name, name.data(), name.size());
  d.name_length = name.size();
  d.value = value;
  r.name = binding_name(d.name, name.size());
  return r;
}

int64_t onnx_find_input_binding(const InputBindings& b, std::string_view name) {
  for (uint64_t i = 0; i < b.input_count; ++i) {
    if (binding_name(b.inputs[i].name, b.inputs[i].name_length) == name) return static_cast<int64_t>(i);
  }
  return -1;
}

std::string onnx_format_shape(uint64_t rank, const uint64_t* dims) {
  std::string out = "[";
  for (uint64_t i = 0; i < rank && i < kMaxRank; ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(dims[i]);
  }
  return out + "]";
}

std::string onnx_check_input_bindings(BuilderState& s, uint64_t graph_start, uint64_t graph_end,
                                      std::string& batch_note_names) {
  // The check marks entries used and may add dim entries; it works on the caller's record.
  InputBindings& b = *const_cast<InputBindings*>(s.bindings);
  std::string problems;
  uint64_t problem_count = 0;
  std::string input_names;
  bool parse_failed = false;
  auto problem = [&](const std::string& line) {
    problems += line;
    ++problem_count;
  };
  bool corrupt = false;
  onnx_walk_fields(s.image, graph_start, graph_end, {kGraphInputField}, &corrupt,
                   [&](uint32_t, uint64_t start, uint64_t end) {
    OnnxValueInfo info;
    if (!onnx_read_value_info(s.image, start, end, info)) {
      parse_failed = true;
      return false;
    }
    if (info.name.empty()) return true;
    auto existing = s.value_index.find(info.name);
    if (existing != s.value_index.end() &&
        s.values[existing->second].kind == static_cast<uint64_t>(ValueKind::kWeight)) {
      return true;
    }
    const std::string name(info.name);
    if (!input_names.empty()) input_names += ", ";
    input_names += name;
    uint64_t rank = info.rank;
    uint64_t dims[kMaxRank] = {};
    uint64_t dtype = 0;
    const int64_t bi = onnx_find_input_binding(b, info.name);
    if (bi >= 0) {
      InputBinding& e = b.inputs[bi];
      e.used = 1;
      rank = e.rank;
      for (uint64_t i = 0; i < kMaxRank; ++i) dims[i] = e.dims[i];
      if (info.has_shape && info.rank != e.rank) {
        problem("  input '" + name + "': the model has rank " + std::to_string(info.rank) +
                ", --input gives rank " + std::to_string(e.rank) + "\n");
      } else if (info.has_shape) {
        for (uint64_t i = 0; i < info.rank; ++i) {
          const std::string_view p = info.dim_params[i];
          if (info.dims[i] != 0) {
            if (info.dims[i] != e.dims[i]) {
              problem("  input '" + name + "' dim " + std::to_string(i) + ": fixed at " +
                      std::to_string(info.dims[i]) + " in the model, --input gives " +
                      std::to_string(e.dims[i]) + "\n");
            }
          } else if (!p.empty()) {
            const int64_t di = find_dim(b, p);
            if (di >= 0) {
              b.dims[di].used = 1;
              if (b.dims[di].value != e.dims[i]) {
                problem("  dim '" + std::string(p) + "': bound to " +
                        std::to_string(b.dims[di].value) + ", but --input " + name + " gives " +
                        std::to_string(e.dims[i]) + " at dim " + std::to_string(i) + "\n");
              }
            } else if (p.size() <= kBindingMaxNameLength && b.dim_count < kBindingMaxDims) {
              DimBinding& d = b.dims[b.dim_count++];
              d = DimBinding{};
              std::memcpy(d.name, p.data(), p.size());
              d.name_length = p.size();
              d.value = e.dims[i];
              d.used = 1;
            }
          }
        }
      }
    } else if (!info.has_shape) {
      problem("  input '" + name + "': the model gives no shape; bind it with --input " + name +
              "=<dims>\n");
    } else {
      for (uint64_t i = 0; i < info.rank; ++i) {
        const std::string_view p = info.dim_params[i];
        if (info.dims[i] != 0) {
          dims[i] = info.dims[i];
          continue;
        }
        const int64_t di = p.empty() ? -1 : find_dim(b, p);
        if (di >= 0) {
          b.dims[di].used = 1;
          dims[i] = b.dims[di].value;
        } else if (i == 0 && info.rank >= 2) {
          dims[i] = 1;
          if (batch_note_names.size() < kBatchNoteGrowLimit) {
            if (!batch_note_names.empty()) batch_note_names += ", ";
            batch_note_names += name;
            if (batch_note_names.size() >= kBatchNoteBytes) batch_note_names.resize(kBatchNoteBytes - 1);
          }
        } else if (!p.empty()) {
          problem("  input '" + name + "' dim " + std::to_string(i) + " ('" + std::string(p) +
                  "') is dynamic: bind it with --dim " + std::string(p) + "=<n> or --input " +
                  name + "=<dims>\n");
        } else {
          problem("  input '" + name + "' dim " + std::to_string(i) +
                  " (unnamed) is dynamic: bind it with --input " + name + "=<dims>\n");
        }
      }
    }
    if (info.elem_type == kOnnxFloat) {
      dtype = kTypeF32;
    } else if (info.elem_type == kOnnxInt64) {
      dtype = kTypeI64;
    } else {
      problem("  input '" + name + "': element type " +
              std::string(info.elem_type == kOnnxUint16 || info.elem_type == kOnnxInt16 ||
                                  info.elem_type == kOnnxString || info.elem_type == kOnnxUint32 ||
                                  info.elem_type == kOnnxUint64
                              ? "other"
                              : onnx_type_name(info.elem_type)) +
              " is not supported; Vexa inputs are float32 or int64\n");
    }
    if (bi >= 0 && b.inputs[bi].dtype != 0 && dtype != 0 && b.inputs[bi].dtype != dtype) {
      problem("  input '" + name + "': the model declares " + type_word(dtype) +
              ", --input asks for " + type_suffix(b.inputs[bi].dtype) + "\n");
    }
    const uint32_t index = builder_value_index(s, info.name);
    if (index >= s.values.size()) {
      problem("  input '" + name + "': too many values\n");
      return true;
    }
    BuilderValue& v = s.values[index];
    v.kind = static_cast<uint64_t>(ValueKind::kGraphInput);
    v.dtype = dtype == kTypeI64 ? kTypeI64 : kTypeF32;
    v.rank = rank;
    for (uint64_t i = 0; i < kMaxRank; ++i) v.dims[i] = i < rank ? dims[i] : 0;
    uint64_t count = 0;
    if (!builder_element_count(rank, v.dims, count)) {
      problem("  input '" + name + "': more than 2^30 elements\n");
    }
    if (v.dtype == kTypeI64 && s.i64_inputs.size() < kBindingMaxInputs) s.i64_inputs.push_back(index);
    return true;
  });
  if (parse_failed) return "failed parsing input ValueInfoProto (rank above 6?)";
  if (corrupt) return "corrupt GraphProto";
  for (uint64_t i = 0; i < b.input_count; ++i) {
    if (!b.inputs[i].used) {
      problem("  --input " + std::string(binding_name(b.inputs[i].name, b.inputs[i].name_length)) +
              ": the model has no input of that name (inputs: " + input_names + ")\n");
    }
  }
  for (uint64_t i = 0; i < b.dim_count; ++i) {
    if (!b.dims[i].used) {
      problem("  --dim " + std::string(binding_name(b.dims[i].name, b.dims[i].name_length)) +
              ": no input has a dimension of that name\n");
    }
  }
  if (problem_count == 0) return "";
  return std::to_string(problem_count) + " input binding problem(s):\n" + problems;
}

bool onnx_read_graph_io(BuilderState& s, uint64_t start, uint64_t end, bool is_output,
                        uint64_t option_word) {
  OnnxValueInfo info;
  if (!onnx_read_value_info(s.image, start, end, info)) return false;
  if (info.name.empty()) return true;
  auto existing = s.value_index.find(info.name);
  const uint64_t kWeight = static_cast<uint64_t>(ValueKind::kWeight);
  const uint64_t kInput = static_cast<uint64_t>(ValueKind::kGraphInput);
  if (s.bindings != nullptr) {
    if (!is_output) {
      return existing != s.value_index.end() &&
             (s.values[existing->second].kind == kInput || s.values[existing->second].kind == kWeight);
    }
    if (existing != s.value_index.end() &&
        (s.values[existing->second].kind == kInput || s.values[existing->second].kind == kWeight)) {
      return true;
    }
    const uint32_t index = builder_value_index(s, info.name);
    if (index >= s.values.size()) return false;
    BuilderValue& v = s.values[index];
    v.kind = static_cast<uint64_t>(ValueKind::kGraphOutput);
    v.rank = info.rank;
    for (uint64_t i = 0; i < kMaxRank; ++i) {
      uint64_t d = i < info.rank ? info.dims[i] : 0;
      if (d == 0 && i < info.rank && !info.dim_params[i].empty()) {
        const int64_t di = find_dim(*s.bindings, info.dim_params[i]);
        if (di >= 0) d = s.bindings->dims[di].value;
      }
      v.dims[i] = d;
    }
    return true;
  }

  // Without bindings the option word fills open dimensions. The model-family rewrites that drop
  // or bake known inputs and outputs attach here.
  if (existing != s.value_index.end() && s.values[existing->second].kind == kWeight) return true;
  const uint32_t index = builder_value_index(s, info.name);
  if (index >= s.values.size()) return false;
  BuilderValue& v = s.values[index];
  uint64_t batch = option_word >> kOptionBatchShift;
  if (batch == 0) batch = 1;
  const uint64_t low = option_word & kOptionLowMask;
  uint64_t h = low, w = low;
  if (((low >> kOptionHeightShift) & kOptionHalfMask) != 0) {
    h = (low >> kOptionHeightShift) & kOptionHalfMask;
    w = low & kOptionHalfMask;
  }
  if (onnx_rewrite_graph_io(s, index, info, is_output, h, w)) return true;
  const uint64_t r = info.rank;
  v.kind = static_cast<uint64_t>(is_output ? ValueKind::kGraphOutput : ValueKind::kGraphInput);
  v.dtype = info.elem_type == kOnnxInt64 ? kTypeI64 : kTypeF32;
  v.rank = r;
  for (uint64_t i = 0; i < kMaxRank; ++i) {
    uint64_t d = i < r ? info.dims[i] : 0;
    if (i < r && d == 0) {
      if (i == 0) d = batch;
      else if (i == 1) d = r == 4 ? kDefaultChannels : (r == 1 ? 0 : h);
      else if (i == 3) d = r == 4 ? w : h;
      else d = h;
    }
    v.dims[i] = d;
  }
  if (!is_output && v.dtype == kTypeI64 && s.i64_inputs.size() < kBindingMaxInputs) {
    s.i64_inputs.push_back(index);
  }
  return true;
}

}  // namespace vexa::tools
