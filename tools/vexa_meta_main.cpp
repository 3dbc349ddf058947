// vexa-meta: sets or deletes one metadata key of a .vexa container in place.
//
//   vexa-meta set [--immutable] model.vexa KEY TYPE [VALUE...]
//   vexa-meta delete model.vexa KEY
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/container_format.h"
#include "tools/meta_edit.h"
#include "tools/meta_value.h"

namespace {

constexpr const char* kUsage =
    "usage: vexa-meta set [--immutable] model.vexa KEY TYPE [VALUE...]\n"
    "       vexa-meta delete model.vexa KEY\n"
    "TYPE: string TEXT | f64 NUMBER | i64 INTEGER | bool true|false | strings [ITEM...] |\n"
    "      f32 [NUMBER...] | bytes HEX";

int fail(const std::string& message) {
  std::fprintf(stderr, "vexa: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vexa::tools;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::printf("%s\n", kUsage);
    return 0;
  }
  if (args.empty()) return fail(kUsage);
  const std::string_view command = args[0];
  args.erase(args.begin());
  if (command == "delete") {
    if (args.size() != 2) return fail(kUsage);
    const ToolResult r = model_meta_delete(args[0], args[1]);
    if (!r.ok) return fail(r.text);
    std::printf("updated %s\n", std::string(args[0]).c_str());
    return 0;
  }
  if (command != "set") return fail(kUsage);
  uint64_t flags = 0;
  if (!args.empty() && args[0] == "--immutable") {
    flags = vexa::kMetaFlagImmutable;
    args.erase(args.begin());
  }
  if (args.size() < 3) return fail(kUsage);
  MetaValue value;
  const std::string problem =
      parse_meta_value(args[2], std::span<const std::string_view>(args).subspan(3), &value);
  if (!problem.empty()) return fail(problem);
  const ToolResult r = model_meta_set(args[0], args[1], value.type, flags, value.inline_value,
                                      value.bytes.data(), value.bytes.size(), value.item_count);
  if (!r.ok) return fail(r.text);
  std::printf("updated %s\n", std::string(args[0]).c_str());
  return 0;
}
