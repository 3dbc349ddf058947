// Schema text to output constraint: any text must compile or be refused with ConstraintError,
// never crash. A constraint that compiles is then walked under its own mask, which must never
// leave no token allowed and must end on a complete value inside the token budget.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "generative/constraint_compiler.h"
#include "generative/constraint_runtime.h"

namespace {

using namespace vexa;

void require(bool ok) {
  if (!ok) std::abort();
}

// Every byte as a token, some JSON-shaped multi-byte tokens, a special id and the EOS.
const std::vector<std::string>& vocabulary() {
  static const std::vector<std::string> v = [] {
    std::vector<std::string> out;
    for (int b = 0; b < 256; ++b) out.emplace_back(1, static_cast<char>(b));
    for (const char* t : {"true", "false", "null", "{\"", "\":", "\",\"", "\"}", "[]", "{}", "12",
                          "-0.5", "e+", "\\n", "\\u", "\xC3\xA9", "\xE2\x82", "\xAC\"", " \"",
                          "\"\"", ",", "]}", "0.00"}) {
      out.emplace_back(t);
    }
    out.emplace_back();  // special
    out.emplace_back();  // EOS
    return out;
  }();
  return v;
}

constexpr int32_t kSlack = 12;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string schema(reinterpret_cast<const char*>(data), size);  // cut at any NUL inside
  const std::vector<std::string>& vocab = vocabulary();
  const int64_t eos = static_cast<int64_t>(vocab.size()) - 1;
  Constraint c;
  try {
    c = compile_output_constraint(schema.c_str(), 0, vocab, {eos}, 8192);
  } catch (const ConstraintError&) {
    return 0;
  }
  const int32_t needed = constraint_set_distance(c, c.current);
  require(needed >= 0 && needed <= 8192);
  const uint32_t budget = static_cast<uint32_t>(needed + static_cast<int32_t>(size % kSlack));
  std::vector<uint8_t> mask(vocab.size());
  std::vector<int64_t> allowed;
  for (uint32_t step = 0; step < budget; ++step) {
    std::fill(mask.begin(), mask.end(), 1);
    constraint_mask(c, mask.data(), mask.size(), budget - step);
    allowed.clear();
    for (size_t id = 0; id < mask.size(); ++id) {
      if (mask[id]) allowed.push_back(static_cast<int64_t>(id));
    }
    require(!allowed.empty());
    const size_t pick = (static_cast<size_t>(step) * 7919u + size) % allowed.size();
    if (constraint_accept(c, allowed[pick])) break;
  }
  require(constraint_accepting(c));
  return 0;
}
