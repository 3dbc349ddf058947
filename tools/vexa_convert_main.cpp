// vexa-convert: converts one ONNX model file into a .vexa container.
//
//   vexa-convert [--describe] [--input name=d0xd1...[:f32|:i64]]... [--dim name=n]...
//                model.onnx [out.vexa]
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "tools/convert_driver.h"

namespace {

constexpr const char* kUsage =
    "usage: vexa-convert [--describe] [--input name=<d0>x<d1>...[:f32|:i64]]... "
    "[--dim name=<n>]... model.onnx out.vexa";

int fail(const std::string& message) {
  std::fprintf(stderr, "vexa: %s\n", message.c_str());
  return 1;
}

void print_note(const std::string& note) {
  if (!note.empty()) std::printf("note: %s\n", note.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vexa::tools;
  InputBindings bindings;
  onnx_bindings_init(bindings);
  std::string paths[2];
  int path_count = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string_view option, std::string_view& out) {
      if (arg == option) {
        if (i + 1 >= argc) return false;
        out = argv[++i];
        return true;
      }
      if (arg.size() > option.size() && arg.substr(0, option.size()) == option &&
          arg[option.size()] == '=') {
        out = arg.substr(option.size() + 1);
        return true;
      }
      return false;
    };
    std::string_view v;
    if (arg == "--describe") {
      bindings.describe_only = 1;
    } else if (arg == "--help" || arg == "-h") {
      std::printf("%s\n", kUsage);
      return 0;
    } else if (value("--input", v)) {
      BindingParse r = onnx_parse_input_option(bindings, v);
      if (!r.error.empty()) return fail(r.error);
    } else if (value("--dim", v)) {
      BindingParse r = onnx_parse_dim_option(bindings, v);
      if (!r.error.empty()) return fail(r.error);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return fail("unknown option " + std::string(arg) + "\n" + kUsage);
    } else if (path_count < 2) {
      paths[path_count++] = std::string(arg);
    } else {
      return fail(std::string("too many paths\n") + kUsage);
    }
  }
  const bool describe = bindings.describe_only == 1;
  if (path_count < 1 || (path_count < 2 && !describe)) return fail(kUsage);
  const std::string out = path_count == 2 ? paths[1] : paths[0] + ".vexa";
  ConvertResult r = onnx_convert_file_bound(paths[0], out, &bindings);
  if (!r.ok) return fail(r.text);
  std::fputs(r.text.c_str(), stdout);
  print_note(onnx_batch_note());
  print_note(onnx_int8_note());
  print_note(onnx_rewrite_report());
  if (!describe) std::printf("wrote %s\n", out.c_str());
  return 0;
}
