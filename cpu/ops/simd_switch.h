// Whether an operator family's vector kernels run: when the CPU has them (checked once) and
// a test has not forced the portable loops, which the tests compare them with.
#pragma once

#include <atomic>
#include <mutex>

namespace vexa::cpu {

class SimdSwitch {
 public:
  explicit constexpr SimdSwitch(bool (*available)()) : available_(available) {}
  SimdSwitch(const SimdSwitch&) = delete;
  SimdSwitch& operator=(const SimdSwitch&) = delete;

  bool enabled() {
    std::call_once(once_, [this] { cpu_has_ = available_(); });
    return cpu_has_ && !portable_.load(std::memory_order_relaxed);
  }
  void force_portable(bool on) { portable_.store(on, std::memory_order_relaxed); }
  bool portable_forced() const { return portable_.load(std::memory_order_relaxed); }

 private:
  bool (*available_)();
  std::once_flag once_;
  bool cpu_has_ = false;
  std::atomic<bool> portable_{false};
};

}  // namespace vexa::cpu
