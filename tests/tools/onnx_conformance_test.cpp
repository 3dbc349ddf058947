// ONNX's own operator tests (Debian libonnx-testdata, opsets 11..17) through the converter and
// the CPU engine. Each case converts model.onnx, runs it on test_data_set_0's inputs and
// compares every output with the stored one. The committed pass list must keep passing; every
// other case must be refused by the converter with a message or be listed with its reason.
//
// Each case runs in a child process so that one crashing or hanging operator is reported as
// that case's failure instead of ending the whole run.
//
// VEXA_CONFORMANCE_UPDATE=1 rewrites both lists from the current results;
// VEXA_CONFORMANCE_VERBOSE=1 prints the converter's message for every refused case.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/container.h"
#include "core/container_access.h"
#include "cpu/cpu_state.h"
#include "cpu/interpreter.h"
#include "tests/tools/conformance_convert.h"
#include "tools/onnx_wire.h"

namespace vexa::tools {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTestDataDir = "/usr/share/libonnx-testdata/data/node";
constexpr uint64_t kMinOpset = 11;
constexpr uint64_t kMaxOpset = 17;
// The comparison ONNX's own runner uses for float outputs, with a floor for values near zero
// that went through a different summation order.
constexpr double kRelTolerance = 1e-3;
constexpr double kAbsTolerance = 1e-4;
constexpr unsigned kCaseTimeoutSeconds = 20;
constexpr size_t kMessageCapacity = 4096;

// ------------------------------------------------------------------ TensorProto reading

struct TestTensor {
  std::string name;
  std::vector<int64_t> dims;
  std::vector<double> values;
  uint64_t type = 0;
};

// Little-endian decoding of one element of a raw_data payload.
bool raw_element(uint64_t type, const uint8_t* p, double* out, uint64_t* size) {
  auto load = [&](auto v) {
    std::memcpy(&v, p, sizeof(v));
    *size = sizeof(v);
    return v;
  };
  switch (type) {
    case kOnnxFloat: *out = load(float{}); return true;
    case kOnnxDouble: *out = load(double{}); return true;
    case kOnnxInt64: *out = static_cast<double>(load(int64_t{})); return true;
    case kOnnxUint64: *out = static_cast<double>(load(uint64_t{})); return true;
    case kOnnxInt32: *out = load(int32_t{}); return true;
    case kOnnxUint32: *out = load(uint32_t{}); return true;
    case kOnnxInt16: *out = load(int16_t{}); return true;
    case kOnnxUint16: *out = load(uint16_t{}); return true;
    case kOnnxInt8: *out = load(int8_t{}); return true;
    case kOnnxUint8: *out = load(uint8_t{}); return true;
    case kOnnxBool: *out = load(uint8_t{}) != 0; return true;
    case kOnnxFloat16: {
      const uint16_t h = load(uint16_t{});
      const int exp = (h >> 10) & 0x1f;
      const double mant = h & 0x3ff;
      double v = exp == 0 ? std::ldexp(mant, -24)
                 : exp == 31 ? (mant != 0 ? NAN : INFINITY)
                             : std::ldexp(1024 + mant, exp - 25);
      *out = (h & 0x8000) ? -v : v;
      return true;
    }
    default: return false;
  }
}

// Packed or unpacked repeated scalars of one field.
template <typename Fn>
bool read_repeated(WireCursor& c, uint32_t wire, Fn&& take) {
  if (wire == kWireBytes) {
    uint64_t start = 0, length = 0;
    if (!wire_read_bytes(c, start, length)) return false;
    WireCursor inner{c.image, start, start + length};
    return take(inner, true);
  }
  return take(c, false);
}

bool read_tensor_proto(const std::vector<uint8_t>& bytes, TestTensor* t, std::string* why) {
  WireCursor c{bytes.data(), 0, bytes.size()};
  uint32_t field = 0, wire = 0;
  uint64_t raw_start = 0, raw_length = 0;
  bool has_raw = false;
  std::vector<double> typed;
  while (wire_read_tag(c, field, wire)) {
    bool ok = true;
    switch (field) {
      case 1:  // dims
        ok = read_repeated(c, wire, [&](WireCursor& in, bool packed) {
          do t->dims.push_back(static_cast<int64_t>(wire_read_varint(in)));
          while (packed && !in.done());
          return true;
        });
        break;
      case 2: t->type = wire_read_varint(c); break;
      case 4:  // float_data
        ok = read_repeated(c, wire, [&](WireCursor& in, bool packed) {
          do {
            if (in.end - in.pos < 4) return false;
            float f;
            std::memcpy(&f, in.image + in.pos, 4);
            in.pos += 4;
            typed.push_back(f);
          } while (packed && !in.done());
          return true;
        });
        break;
      case 5:   // int32_data (also bool, small ints and f16 bits)
      case 7:   // int64_data
      case 11:  // uint64_data
        ok = read_repeated(c, wire, [&](WireCursor& in, bool packed) {
          do {
            const uint64_t v = wire_read_varint(in);
            typed.push_back(field == 11 ? static_cast<double>(v)
                                        : static_cast<double>(static_cast<int64_t>(v)));
          } while (packed && !in.done());
          return true;
        });
        break;
      case 10:  // double_data
        ok = read_repeated(c, wire, [&](WireCursor& in, bool packed) {
          do {
            if (in.end - in.pos < 8) return false;
            double d;
            std::memcpy(&d, in.image + in.pos, 8);
            in.pos += 8;
            typed.push_back(d);
          } while (packed && !in.done());
          return true;
        });
        break;
      case 8: {
        uint64_t s = 0, n = 0;
        ok = wire_read_bytes(c, s, n);
        if (ok) t->name.assign(reinterpret_cast<const char*>(bytes.data() + s), n);
        break;
      }
      case 9:
        ok = wire_read_bytes(c, raw_start, raw_length);
        has_raw = ok;
        break;
      case 6:
        *why = "string tensor";
        return false;
      case 13:
        *why = "external data";
        return false;
      default: ok = onnx_skip_field(c, wire);
    }
    if (!ok) {
      *why = "corrupt TensorProto";
      return false;
    }
  }
  uint64_t count = 1;
  for (int64_t d : t->dims) count *= static_cast<uint64_t>(std::max<int64_t>(d, 0));
  if (has_raw) {
    for (uint64_t off = 0; off < raw_length;) {
      double v = 0;
      uint64_t size = 0;
      if (!raw_element(t->type, bytes.data() + raw_start + off, &v, &size) ||
          off + size > raw_length) {
        *why = "element type " + std::string(onnx_type_name(t->type));
        return false;
      }
      t->values.push_back(v);
      off += size;
    }
  } else if (t->type == kOnnxFloat16) {
    for (double bits : typed) {
      const auto h = static_cast<uint16_t>(bits);
      uint8_t le[2] = {static_cast<uint8_t>(h), static_cast<uint8_t>(h >> 8)};
      double v = 0;
      uint64_t size = 0;
      raw_element(kOnnxFloat16, le, &v, &size);
      t->values.push_back(v);
    }
  } else {
    t->values = std::move(typed);
  }
  if (t->values.size() != count) {
    *why = "tensor payload does not match its dims";
    return false;
  }
  return true;
}

bool read_bytes(const fs::path& path, std::vector<uint8_t>* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

// Default-domain opset of a ModelProto (field 8 OperatorSetIdProto {1 domain, 2 version}).
uint64_t model_opset(const std::vector<uint8_t>& model) {
  uint64_t opset = 0;
  bool corrupt = false;
  onnx_walk_fields(model.data(), 0, model.size(), {8}, &corrupt,
                   [&](uint32_t, uint64_t start, uint64_t end) {
                     WireCursor c{model.data(), start, end};
                     uint32_t f = 0, w = 0;
                     std::string domain;
                     uint64_t version = 0;
                     while (wire_read_tag(c, f, w)) {
                       if (f == 1 && w == kWireBytes) {
                         uint64_t s = 0, n = 0;
                         if (!wire_read_bytes(c, s, n)) return false;
                         domain.assign(reinterpret_cast<const char*>(model.data() + s), n);
                       } else if (f == 2 && w == kWireVarint) {
                         version = wire_read_varint(c);
                       } else if (!onnx_skip_field(c, w)) {
                         return false;
                       }
                     }
                     if (domain.empty() || domain == "ai.onnx") opset = version;
                     return true;
                   });
  return opset;
}

// ------------------------------------------------------------------ running one case

enum class Outcome : char { kPass = 'P', kRefused = 'R', kFail = 'F' };

struct CaseResult {
  Outcome outcome = Outcome::kFail;
  std::string message;
};

std::vector<TestTensor> read_set(const fs::path& dir, const char* prefix, std::string* why) {
  std::vector<TestTensor> out;
  for (int i = 0;; ++i) {
    const fs::path p = dir / (std::string(prefix) + std::to_string(i) + ".pb");
    if (!fs::exists(p)) break;
    std::vector<uint8_t> bytes;
    TestTensor t;
    if (!read_bytes(p, &bytes) || !read_tensor_proto(bytes, &t, why)) {
      *why = p.filename().string() + ": " + (why->empty() ? "unreadable" : *why);
      return {};
    }
    out.push_back(std::move(t));
  }
  return out;
}

// Non-unit dims in order: scalars and [1] forms of the same data compare equal.
std::vector<int64_t> squeezed(const int64_t* dims, uint64_t rank) {
  std::vector<int64_t> out;
  for (uint64_t i = 0; i < rank; ++i)
    if (dims[i] != 1) out.push_back(dims[i]);
  return out;
}

std::string shape_text(const std::vector<int64_t>& dims) {
  std::string s = "[";
  for (size_t i = 0; i < dims.size(); ++i) s += (i ? ", " : "") + std::to_string(dims[i]);
  return s + "]";
}

// Runs in the child: convert, build the CPU state, bind inputs, run, compare.
CaseResult run_case_inline(const fs::path& dir, const std::string& vexa_path) {
  CaseResult r;
  const std::string onnx = (dir / "model.onnx").string();
  std::string message = conformance_convert(onnx, vexa_path);
  if (!message.empty()) {
    r.outcome = Outcome::kRefused;
    r.message = message;
    return r;
  }
  std::string why;
  const fs::path set = dir / "test_data_set_0";
  std::vector<TestTensor> inputs = read_set(set, "input_", &why);
  std::vector<TestTensor> expected = why.empty() ? read_set(set, "output_", &why)
                                                 : std::vector<TestTensor>{};
  if (!why.empty()) {
    r.message = "test data: " + why;
    return r;
  }

  OpenResult opened = container_open_path(vexa_path.c_str(), vexa_path.size());
  if (!opened.ok()) {
    r.message = "container does not open (status " + std::to_string(opened.status) + ")";
    return r;
  }
  OpenContainer c = opened.container;
  std::vector<uint8_t> weights(std::max<uint64_t>(c.weights_data_size, 64));
  if (c.plan != nullptr ||
      !read_fully_at(c.fd, weights.data(), c.weights_data_size, c.base_offset + c.weights_offset)) {
    container_close(&c);
    r.message = "weights do not load";
    return r;
  }
  cpu::CpuCreateResult created = cpu::cpu_state_create_default(&c, weights.data());
  if (created.tag != 0) {
    r.message = "engine refused: " + std::string(cpu::cpu_create_message(created));
    cpu::cpu_create_result_release(&created);
    container_close(&c);
    return r;
  }
  cpu::CpuState* state = created.state;
  cpu::CpuHandle handle = &state;

  auto value_name = [&](uint64_t v) {
    const GraphValue gv = container_read_value(&c, v);
    return std::string(pool_string(&c, gv.name_offset, gv.name_length));
  };
  std::vector<uint64_t> graph_inputs;
  for (uint64_t v = 0; v < state->value_count; ++v)
    if (state->values[v].kind() == cpu::kValueGraphInput) graph_inputs.push_back(v);

  auto finish = [&](const std::string& text) {
    cpu::cpu_state_destroy(handle);
    container_close(&c);
    r.message = text;
    return r;
  };

  for (size_t i = 0; i < inputs.size(); ++i) {
    const TestTensor& t = inputs[i];
    uint64_t target = ~uint64_t{0};
    for (uint64_t v : graph_inputs)
      if (!t.name.empty() && value_name(v) == t.name) target = v;
    if (target == ~uint64_t{0}) {
      // An input the converter folded away (bound into a weight) needs no data.
      continue;
    }
    const cpu::CpuValue& cv = state->values[target];
    if (cv.element_count() != t.values.size()) {
      return finish("input '" + t.name + "' holds " + std::to_string(t.values.size()) +
                    " elements, the engine wants " + std::to_string(cv.element_count()));
    }
    std::vector<float> data(t.values.begin(), t.values.end());
    if (!cpu::cpu_set_input(handle, target, data.data(), data.size() * sizeof(float))) {
      return finish("input '" + t.name + "' refused");
    }
  }
  if (!cpu::cpu_run(handle, nullptr, nullptr)) return finish("run failed");

  std::ostringstream mismatch;
  for (size_t k = 0; k < expected.size(); ++k) {
    const TestTensor& t = expected[k];
    uint64_t slot = ~uint64_t{0};
    for (uint64_t j = 0; j < state->output_count; ++j)
      if (value_name(state->outputs[j]) == t.name) slot = j;
    if (slot == ~uint64_t{0} && k < state->output_count && t.name.empty()) slot = k;
    if (slot == ~uint64_t{0}) return finish("output '" + t.name + "' missing");
    const cpu::CpuValue& cv = state->values[state->outputs[slot]];
    std::vector<int64_t> ours(cv.dims(), cv.dims() + cv.rank());
    if (cv.element_count() != t.values.size() ||
        squeezed(ours.data(), ours.size()) != squeezed(t.dims.data(), t.dims.size())) {
      return finish("output '" + t.name + "' has shape " + shape_text(ours) + ", expected " +
                    shape_text(t.dims));
    }
    const float* got = cpu::cpu_output_data(handle, slot);
    if (got == nullptr) return finish("output '" + t.name + "' has no storage");
    for (size_t i = 0; i < t.values.size(); ++i) {
      const double want = t.values[i];
      const double have = got[i];
      const bool both_nan = std::isnan(want) && std::isnan(have);
      const bool same_inf = std::isinf(want) && want == have;
      if (both_nan || same_inf) continue;
      if (!(std::fabs(have - want) <= kAbsTolerance + kRelTolerance * std::fabs(want))) {
        mismatch << "output '" << t.name << "' element " << i << " is " << have << ", expected "
                 << want;
        return finish(mismatch.str());
      }
    }
  }
  r.outcome = Outcome::kPass;
  return finish("");
}

// Forks so a crash or hang becomes this case's failure.
CaseResult run_case(const fs::path& dir) {
  char vexa_path[] = "/tmp/vexa-conformance-XXXXXX";
  const int fd = mkstemp(vexa_path);
  if (fd < 0) return {Outcome::kFail, "no temporary file"};
  close(fd);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) {
    unlink(vexa_path);
    return {Outcome::kFail, "no pipe"};
  }
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    alarm(kCaseTimeoutSeconds);
    CaseResult r = run_case_inline(dir, vexa_path);
    std::string text(1, static_cast<char>(r.outcome));
    text += r.message.substr(0, kMessageCapacity);
    (void)!write(pipe_fds[1], text.data(), text.size());
    close(pipe_fds[1]);
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(pipe_fds[0], buf, sizeof(buf))) > 0) text.append(buf, static_cast<size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  unlink(vexa_path);
  if (text.empty()) {
    if (WIFSIGNALED(status)) {
      const int sig = WTERMSIG(status);
      return {Outcome::kFail,
              sig == SIGALRM ? "timed out" : "crashed (signal " + std::to_string(sig) + ")"};
    }
    return {Outcome::kFail, "child exited with status " + std::to_string(WEXITSTATUS(status))};
  }
  CaseResult r;
  r.outcome = static_cast<Outcome>(text[0]);
  r.message = text.substr(1);
  return r;
}

// ------------------------------------------------------------------ lists

std::string fixture(const char* name) { return std::string(VEXA_FIXTURES_DIR) + "/" + name; }

// Lines "name" or "name<TAB>reason"; '#' starts a comment line.
std::map<std::string, std::string> read_list(const std::string& path) {
  std::map<std::string, std::string> out;
  std::ifstream f(path);
  std::string line;
  while (std::getline(f, line)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t tab = line.find('\t');
    out[line.substr(0, tab)] = tab == std::string::npos ? "" : line.substr(tab + 1);
  }
  return out;
}

std::vector<fs::path> cases_in_range() {
  std::vector<fs::path> out;
  for (const auto& entry : fs::directory_iterator(kTestDataDir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("test_", 0) != 0) continue;
    std::vector<uint8_t> model;
    if (!read_bytes(entry.path() / "model.onnx", &model)) continue;
    const uint64_t opset = model_opset(model);
    if (opset >= kMinOpset && opset <= kMaxOpset) out.push_back(entry.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string one_line(std::string s) {
  std::replace(s.begin(), s.end(), '\n', ' ');
  std::replace(s.begin(), s.end(), '\t', ' ');
  return s;
}

class OnnxConformance : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::is_directory(kTestDataDir)) GTEST_SKIP() << "libonnx-testdata is not installed";
  }
};

TEST_F(OnnxConformance, ListedCasesPassAndOthersAreRefusedOrExplained) {
  const std::map<std::string, std::string> pass = read_list(fixture("onnx_conformance_pass.txt"));
  const std::map<std::string, std::string> known =
      read_list(fixture("onnx_conformance_known_failures.txt"));
  const bool update = std::getenv("VEXA_CONFORMANCE_UPDATE") != nullptr;
  const bool verbose = std::getenv("VEXA_CONFORMANCE_VERBOSE") != nullptr;

  std::vector<std::string> broken, unexplained, newly_passing;
  std::vector<std::pair<std::string, CaseResult>> results;
  size_t passed = 0, refused = 0;
  for (const fs::path& dir : cases_in_range()) {
    const std::string name = dir.filename().string();
    CaseResult r = run_case(dir);
    results.emplace_back(name, r);
    const bool listed = pass.count(name) != 0;
    switch (r.outcome) {
      case Outcome::kPass:
        ++passed;
        if (!listed) newly_passing.push_back(name);
        break;
      case Outcome::kRefused:
        ++refused;
        if (verbose) std::printf("  refused %s: %s\n", name.c_str(), one_line(r.message).c_str());
        if (listed) broken.push_back(name + ": refused: " + one_line(r.message));
        if (r.message.empty()) unexplained.push_back(name + ": refused without a message");
        break;
      case Outcome::kFail:
        if (listed) broken.push_back(name + ": " + one_line(r.message));
        else if (!known.count(name)) unexplained.push_back(name + ": " + one_line(r.message));
        break;
    }
  }

  if (update) {
    std::ofstream p(fixture("onnx_conformance_pass.txt"));
    std::ofstream k(fixture("onnx_conformance_known_failures.txt"));
    p << "# ONNX node tests (opsets 11-17) that convert and match their outputs on the CPU "
         "engine.\n# Regenerate with VEXA_CONFORMANCE_UPDATE=1; a listed case that stops "
         "passing fails the test.\n";
    k << "# ONNX node tests (opsets 11-17) that convert but do not run or match, with the "
         "reason.\n# Cases the converter refuses are not listed: its message is the reason.\n";
    for (const auto& [name, r] : results) {
      if (r.outcome == Outcome::kPass) p << name << "\n";
      if (r.outcome == Outcome::kFail) k << name << "\t" << one_line(r.message) << "\n";
    }
    return;
  }

  std::printf("onnx conformance: %zu cases, %zu pass, %zu refused by the converter, %zu other\n",
              results.size(), passed, refused, results.size() - passed - refused);
  for (const std::string& n : newly_passing)
    std::printf("  now passes (add it to the pass list): %s\n", n.c_str());
  std::string report;
  for (const std::string& b : broken) report += "  " + b + "\n";
  EXPECT_TRUE(broken.empty()) << broken.size() << " listed cases no longer pass:\n" << report;
  report.clear();
  for (const std::string& u : unexplained) report += "  " + u + "\n";
  EXPECT_TRUE(unexplained.empty()) << unexplained.size()
                                   << " cases fail without being listed:\n" << report;
}

// The reader itself, on hand-made TensorProtos: raw little-endian data, packed typed fields,
// f16 bits and payloads that disagree with their dims.
TEST(ConformanceTensorReader, DecodesRawTypedAndRejectsMismatch) {
  auto varint = [](std::vector<uint8_t>& b, uint64_t v) {
    do {
      uint8_t byte = v & 0x7f;
      v >>= 7;
      b.push_back(byte | (v ? 0x80 : 0));
    } while (v);
  };
  auto field_bytes = [&](std::vector<uint8_t>& b, uint32_t f, const std::vector<uint8_t>& p) {
    varint(b, (f << 3) | 2);
    varint(b, p.size());
    b.insert(b.end(), p.begin(), p.end());
  };
  {
    std::vector<uint8_t> b;
    varint(b, (1 << 3) | 0), varint(b, 2);  // dims 2
    varint(b, (2 << 3) | 0), varint(b, kOnnxFloat);
    const float v[2] = {1.5f, -2.0f};
    std::vector<uint8_t> raw(reinterpret_cast<const uint8_t*>(v),
                             reinterpret_cast<const uint8_t*>(v) + 8);
    field_bytes(b, 9, raw);
    field_bytes(b, 8, {'x'});
    TestTensor t;
    std::string why;
    ASSERT_TRUE(read_tensor_proto(b, &t, &why)) << why;
    EXPECT_EQ(t.name, "x");
    EXPECT_EQ(t.values, (std::vector<double>{1.5, -2.0}));
  }
  {
    std::vector<uint8_t> b, packed;
    field_bytes(b, 1, {3});  // packed dims [3]
    varint(b, (2 << 3) | 0), varint(b, kOnnxInt64);
    varint(packed, 5), varint(packed, static_cast<uint64_t>(-7)), varint(packed, 1ull << 40);
    field_bytes(b, 7, packed);
    TestTensor t;
    std::string why;
    ASSERT_TRUE(read_tensor_proto(b, &t, &why)) << why;
    EXPECT_EQ(t.values, (std::vector<double>{5, -7, 1099511627776.0}));
  }
  {
    std::vector<uint8_t> b;
    varint(b, (1 << 3) | 0), varint(b, 2);
    varint(b, (2 << 3) | 0), varint(b, kOnnxFloat16);
    field_bytes(b, 9, {0x00, 0x3c, 0x00, 0xc0});  // 1.0, -2.0
    TestTensor t;
    std::string why;
    ASSERT_TRUE(read_tensor_proto(b, &t, &why)) << why;
    EXPECT_EQ(t.values, (std::vector<double>{1.0, -2.0}));
  }
  {
    std::vector<uint8_t> b;
    varint(b, (1 << 3) | 0), varint(b, 3);  // dims 3 but one element
    varint(b, (2 << 3) | 0), varint(b, kOnnxFloat);
    field_bytes(b, 9, {0, 0, 0x80, 0x3f});
    TestTensor t;
    std::string why;
    EXPECT_FALSE(read_tensor_proto(b, &t, &why));
    EXPECT_NE(why.find("dims"), std::string::npos);
  }
  {
    std::vector<uint8_t> b;
    varint(b, (9 << 3) | 2), varint(b, 100);  // payload past the end
    TestTensor t;
    std::string why;
    EXPECT_FALSE(read_tensor_proto(b, &t, &why));
  }
}

}  // namespace
}  // namespace vexa::tools
