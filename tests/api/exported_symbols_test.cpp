// The shared library exports exactly the functions of the public header: read libvexa.so's
// dynamic symbol table directly (ELF64) and compare it with the names declared in vexa.h.
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string executable_dir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

bool read_file(const std::string& path, std::vector<char>* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

// Defined, non-local dynamic symbols.
std::set<std::string> exported_symbols(const std::vector<char>& image, std::string* error) {
  std::set<std::string> names;
  if (image.size() < sizeof(Elf64_Ehdr) || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0) {
    *error = "not an ELF file";
    return names;
  }
  Elf64_Ehdr eh;
  std::memcpy(&eh, image.data(), sizeof eh);
  if (eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_shentsize != sizeof(Elf64_Shdr) ||
      eh.e_shoff > image.size() || eh.e_shnum > (image.size() - eh.e_shoff) / sizeof(Elf64_Shdr)) {
    *error = "bad section table";
    return names;
  }
  auto section = [&](size_t i) {
    Elf64_Shdr sh;
    std::memcpy(&sh, image.data() + eh.e_shoff + i * sizeof(Elf64_Shdr), sizeof sh);
    return sh;
  };
  for (size_t i = 0; i < eh.e_shnum; ++i) {
    const Elf64_Shdr sym = section(i);
    if (sym.sh_type != SHT_DYNSYM) continue;
    if (sym.sh_link >= eh.e_shnum) break;
    const Elf64_Shdr str = section(sym.sh_link);
    if (sym.sh_offset > image.size() || sym.sh_size > image.size() - sym.sh_offset ||
        str.sh_offset > image.size() || str.sh_size > image.size() - str.sh_offset) {
      *error = "bad symbol section";
      return names;
    }
    for (size_t off = 0; off + sizeof(Elf64_Sym) <= sym.sh_size; off += sizeof(Elf64_Sym)) {
      Elf64_Sym s;
      std::memcpy(&s, image.data() + sym.sh_offset + off, sizeof s);
      if (s.st_shndx == SHN_UNDEF || ELF64_ST_BIND(s.st_info) == STB_LOCAL) continue;
      if (s.st_name >= str.sh_size) continue;
      const char* name = image.data() + str.sh_offset + s.st_name;
      names.insert(std::string(name, strnlen(name, str.sh_size - s.st_name)));
    }
  }
  return names;
}

std::set<std::string> header_functions() {
  std::ifstream f(std::string(VEXA_FIXTURES_DIR) + "/../../include/vexa/vexa.h");
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string text = ss.str();
  std::set<std::string> names;
  // Every "vexa_name(" in the header is a declared function.
  for (size_t at = text.find("vexa_"); at != std::string::npos; at = text.find("vexa_", at + 1)) {
    size_t end = at;
    while (end < text.size() && (std::islower(static_cast<unsigned char>(text[end])) ||
                                 std::isdigit(static_cast<unsigned char>(text[end])) ||
                                 text[end] == '_')) {
      ++end;
    }
    if (end < text.size() && text[end] == '(') names.insert(text.substr(at, end - at));
  }
  return names;
}

}  // namespace

TEST(ExportedSymbols, OnlyTheHeaderFunctionsAreExported) {
  const std::string lib = executable_dir() + "/../libvexa.so";
  std::vector<char> image;
  ASSERT_TRUE(read_file(lib, &image)) << "build the shared library first: " << lib;
  std::string error;
  const std::set<std::string> exported = exported_symbols(image, &error);
  ASSERT_TRUE(error.empty()) << error;
  const std::set<std::string> declared = header_functions();
  ASSERT_GT(declared.size(), 90u);
  for (const std::string& name : exported) {
    EXPECT_EQ(0u, name.rfind("vexa_", 0)) << "exported: " << name;
  }
  for (const std::string& name : declared) {
    EXPECT_EQ(1u, exported.count(name)) << "declared but not exported: " << name;
  }
  EXPECT_EQ(declared.size(), exported.size()) << "a vexa_ symbol outside the header is exported";
}
