#include "cpu/interpreter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/atomics.h"
#include "cpu/op_table.h"
#include "cpu/quant_study.h"
#include "platform/thread_pool.h"

namespace vexa::cpu {

namespace {

constexpr uint64_t kProfileSlots = 128;
constexpr double kMillisecondsPerSecond = 1000.0;
constexpr mode_t kDumpFileMode = 0644;
constexpr size_t kDumpPathCapacity = kDumpDirCapacity + 32;

struct ProfileSlot {
  double ms;
  uint32_t count;
};

// Writes all of `text` to standard error, going on after partial writes, stopping at an error.
void write_stderr(std::string_view text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(2, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void dump_value(const char* dir, uint64_t id, const float* data, uint64_t count) {
  char path[kDumpPathCapacity];
  int len = std::snprintf(path, sizeof path, "%s/v%llu.f32", dir, static_cast<unsigned long long>(id));
  if (len < 0 || static_cast<size_t>(len) >= sizeof path) return;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kDumpFileMode);
  if (fd < 0) return;
  const char* p = reinterpret_cast<const char*>(data);
  uint64_t left = count * kF32Bytes;
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<uint64_t>(n);
  }
  ::close(fd);
}

void charge(ProfileSlot* table, uint64_t kind, double from, double to) {
  if (kind >= kProfileSlots) return;
  table[kind].ms += (to - from) * kMillisecondsPerSecond;
  table[kind].count += 1;
}

void print_profile(const ProfileSlot* table) {
  for (uint64_t kind = 0; kind < kProfileSlots; ++kind) {
    if (table[kind].count == 0) continue;
    std::string_view name = op_kind_name(kind);
    char tail[96];
    int len = std::snprintf(tail, sizeof tail, " n=%llu ms=%g\n",
                            static_cast<unsigned long long>(table[kind].count), table[kind].ms);
    write_stderr("cpuprof op=");
    write_stderr(name);
    if (len > 0) write_stderr(std::string_view(tail, static_cast<size_t>(len)));
  }
}

bool cancelled(const CpuState& s) {
  return s.cancel_flag != nullptr && atomic_load_u32(s.cancel_flag, kOrderAcquire) != 0;
}

// One run copying `input_floats` in and `output_floats` out. Only a real graph input takes the
// caller's floats, never more than its f32 storage holds.
bool execute(CpuState& s, const float* input, uint64_t input_floats, float* output,
             uint64_t output_floats) {
  ThreadCapScope cap(s.threads);

  if (input != nullptr && s.has_graph_input) {
    const uint64_t room = s.values[s.input_value].element_count();
    std::memcpy(s.data[s.input_value], input,
                kF32Bytes * (input_floats < room ? input_floats : room));
  }
  // A state built with the study off never touches the process-wide study tables, so its runs
  // cannot race with another state's build.
  const bool study = s.study_enabled && cpu_fakequant_enabled();
  if (study && s.has_graph_input) {
    cpu_fakequant_activation(s.input_value, s.data[s.input_value],
                             s.values[s.input_value].element_count(), 0);
  }

  ProfileSlot profile[kProfileSlots] = {};
  const bool profiling = s.profile;
  const char* dump_dir = s.dump_dir[0] != '\0' ? s.dump_dir : nullptr;
  double previous = 0.0;
  uint64_t previous_kind = 0;

  for (uint64_t i = 0; i < s.node_count; ++i) {
    const CpuNode& node = s.nodes[i];
    if (profiling) {
      const double now = cpu_clock_seconds();
      if (i > 0) charge(profile, previous_kind, previous, now);
      previous_kind = node.kind();
      previous = now;
    }
    if (cancelled(s)) return false;

    const OpEntry* entry = cpu_op_entry(node.kind());
    if (entry == nullptr) return false;
    const OpContext ctx{node, s.values, s.data, s.value_count, s.im2col, s.im2col_size};
    if (!entry->run(ctx)) return false;

    for (uint32_t k = 0; k < node.output_count(); ++k) {
      const uint64_t v = node.output(k);
      if (v >= s.value_count) continue;
      if (study && s.values[v].kind() != kValueWeight) {
        cpu_fakequant_activation(v, s.data[v], s.values[v].element_count(), node.kind());
      }
      if (dump_dir != nullptr && s.data[v] != nullptr) {
        dump_value(dump_dir, v, s.data[v], s.values[v].element_count());
      }
    }
  }

  if (profiling) {
    if (s.node_count > 0) charge(profile, previous_kind, previous, cpu_clock_seconds());
    print_profile(profile);
  }
  if (study) cpu_calibration_write();
  if (output != nullptr) {
    const uint64_t have = s.values[s.first_output].element_count();
    std::memcpy(output, s.data[s.first_output],
                kF32Bytes * (output_floats < have ? output_floats : have));
  }
  return true;
}

}  // namespace

bool cpu_execute_graph(CpuState* const* handle, const float* input, float* output) {
  if (handle == nullptr || *handle == nullptr) return false;
  CpuState& s = **handle;
  return execute(s, input, s.values[s.input_value].element_count(), output,
                 s.values[s.first_output].element_count());
}

bool cpu_run(CpuState* const* handle, const float* input, float* output) {
  if (handle == nullptr || *handle == nullptr) return false;
  return cpu_execute_graph(handle, input, output);
}

bool cpu_run_batch(CpuState* const* handle, uint64_t n, const float* input, float* output) {
  if (n == 0 || handle == nullptr || *handle == nullptr) return false;
  CpuState& s = **handle;
  if (n == s.batch) return cpu_execute_graph(handle, input, output);
  const uint64_t per_run = s.batch > 1 ? s.batch : 1;
  // A partial last chunk would read and write past the caller's arrays.
  if (n % per_run != 0 || input == nullptr || output == nullptr) return false;
  const uint64_t item_in = s.has_graph_input ? s.values[s.input_value].element_count() / per_run : 0;
  const uint64_t chunk_out = per_run * (s.values[s.first_output].element_count() / per_run);
  for (uint64_t j = 0; j * per_run < n; ++j) {
    if (!execute(s, input + j * per_run * item_in, per_run * item_in, output + j * chunk_out,
                 chunk_out)) {
      return false;
    }
  }
  return true;
}

}  // namespace vexa::cpu
