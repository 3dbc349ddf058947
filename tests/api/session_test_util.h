// Helpers of the session tests: small graph models written with the container writer into a
// per-test folder, and owning wrappers over sessions and configurations.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "api/session_record.h"
#include "core/container_writer.h"
#include "tests/core/graph_records.h"
#include "vexa/vexa.h"

namespace vexa_test {

struct SessionDeleter {
  void operator()(vexa_session* s) const { vexa_session_free(s); }
};
struct ConfigDeleter {
  void operator()(vexa_config* c) const { vexa_config_free(c); }
};
using SessionPtr = std::unique_ptr<vexa_session, SessionDeleter>;
using ConfigPtr = std::unique_ptr<vexa_config, ConfigDeleter>;

inline vexa::Session* rec(vexa_session* s) { return reinterpret_cast<vexa::Session*>(s); }

inline std::string session_message(const vexa_session* s) {
  return std::string(vexa_session_error_message_ptr(s), vexa_session_error_message_len(s));
}

// A folder under /tmp removed with everything in it when the test ends.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/vexa-session-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "/tmp";
  }
  ~TempDir() {
    std::error_code ignored;
    if (path_ != "/tmp") std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

using vexa::test_graph::Attr;
using vexa::test_graph::element_bytes;

inline uint64_t f32_bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

// Builds one model. Values are named as given; weights are f32 unless said otherwise.
class ModelBuilder {
 public:
  uint64_t value(uint64_t kind, std::vector<uint64_t> dims, const std::string& name,
                 uint64_t dtype = 2) {
    return writer_.add_value(vexa::test_graph::make_value(kind, dims, dtype), name);
  }
  uint64_t input(std::vector<uint64_t> dims, const std::string& name, uint64_t dtype = 2) {
    return value(1, std::move(dims), name, dtype);
  }
  uint64_t output(std::vector<uint64_t> dims, const std::string& name, uint64_t dtype = 2) {
    return value(4, std::move(dims), name, dtype);
  }
  uint64_t inter(std::vector<uint64_t> dims) {
    return value(3, std::move(dims), "t" + std::to_string(inter_++));
  }
  uint64_t raw_value(const vexa::GraphValue& v, const std::string& name) {
    return writer_.add_value(v, name);
  }
  uint64_t weight(std::vector<uint64_t> dims, const std::vector<float>& data) {
    const std::string name = "w" + std::to_string(writer_.tensor_count());
    const uint64_t t = writer_.add_tensor_f32(name, dims, data.data());
    return writer_.add_weight_value(t, name);
  }
  uint64_t weight_f16(std::vector<uint64_t> dims, const std::vector<uint16_t>& bits) {
    const std::string name = "h" + std::to_string(writer_.tensor_count());
    const uint64_t t = writer_.add_tensor_f16(name, dims, bits.data());
    return writer_.add_weight_value(t, name);
  }
  uint64_t node(vexa::OpKind kind, std::initializer_list<uint64_t> inputs,
                std::initializer_list<uint64_t> outputs, std::initializer_list<Attr> attrs = {}) {
    return writer_.add_node(vexa::test_graph::make_node(kind, inputs, outputs, attrs));
  }
  vexa::ContainerWriter& writer() { return writer_; }

  std::vector<uint8_t> bytes() {
    vexa::test_graph::add_pad_tensor_if_empty(writer_);
    std::vector<uint8_t> out;
    std::string error;
    EXPECT_TRUE(writer_.write_to_memory(&out, &error)) << error;
    return out;
  }
  std::string write(const TempDir& dir, const std::string& name = "model.vexa") {
    const std::vector<uint8_t> b = bytes();
    const std::string path = dir.file(name);
    write_bytes(path, b);
    return path;
  }
  static void write_bytes(const std::string& path, const std::vector<uint8_t>& b) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(b.data(), 1, b.size(), f), b.size());
    std::fclose(f);
  }

 private:
  vexa::ContainerWriter writer_;
  int inter_ = 0;
};

// y = x * scale + bias per channel, z = Relu(y): input "x" [1, C, H, W], outputs "y" and "z".
inline void build_affine(ModelBuilder& m, uint64_t c, uint64_t h, uint64_t w,
                         const std::vector<float>& scale, const std::vector<float>& bias,
                         uint64_t y_dtype = 2) {
  const uint64_t x = m.input({1, c, h, w}, "x");
  const uint64_t s = m.weight({1, c, 1, 1}, scale);
  const uint64_t b = m.weight({1, c, 1, 1}, bias);
  const uint64_t t = m.inter({1, c, h, w});
  const uint64_t y = m.output({1, c, h, w}, "y", y_dtype);
  const uint64_t z = m.output({1, c, h, w}, "z");
  m.node(vexa::OpKind::kMul, {x, s}, {t});
  m.node(vexa::OpKind::kAdd, {t, b}, {y});
  m.node(vexa::OpKind::kRelu, {y}, {z});
}

// An identity-like model: out = x + 0 over [1, 3, h, w], for checking preprocessing.
inline void build_passthrough(ModelBuilder& m, uint64_t h, uint64_t w) {
  const uint64_t x = m.input({1, 3, h, w}, "images");
  const uint64_t zero = m.weight({1}, {0.0f});
  const uint64_t y = m.output({1, 3, h, w}, "out");
  m.node(vexa::OpKind::kAdd, {x, zero}, {y});
}

inline SessionPtr new_session(uint32_t backend = VEXA_BACKEND_AUTO, bool verify = false) {
  ConfigPtr c(vexa_config_new());
  vexa_config_set_backend(c.get(), backend);
  vexa_config_set_verify_weights(c.get(), verify ? 1 : 0);
  return SessionPtr(vexa_session_new(c.get()));
}

inline int32_t open_path(vexa_session* s, const std::string& path) {
  return vexa_session_open(s, path.data(), path.size());
}

}  // namespace vexa_test
