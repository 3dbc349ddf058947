// Opening the processor from a generative container's aux table: the assets load from blobs
// after the weights data, and every forged table, name, blob and document is refused with its
// message (as VexaModel, the domain the processor reports). Offsets and sizes near 2^64 must
// not wrap around any bound.
#include "generative/processor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/container_writer.h"
#include "core/domain_error.h"
#include "processor_fixture.h"
#include "tests/core/container_fixture.h"

namespace vexa {
namespace {

using nlohmann::json;
using Blobs = std::vector<std::pair<std::string, std::string>>;

constexpr uint64_t kMiB8 = 8388608;

uint64_t u64_at(const std::vector<uint8_t>& b, uint64_t offset) {
  uint64_t v;
  std::memcpy(&v, b.data() + offset, sizeof v);
  return v;
}

void put_u64(std::vector<uint8_t>& b, uint64_t offset, uint64_t v) {
  std::memcpy(b.data() + offset, &v, sizeof v);
}

// The six documents of a small test model, as blobs in asset order.
Blobs asset_blobs() {
  Blobs blobs;
  json assets = testing::small_assets({{"h", "e"}}, {"<image>"});
  for (const std::string_view name : kProcessorAssetNames) {
    blobs.emplace_back(std::string(name), assets[std::string(name)].dump());
  }
  return blobs;
}

std::vector<uint8_t> write_container(const Blobs& blobs) {
  ContainerWriter w;
  w.set_generative();
  const uint16_t half[4] = {0x3c00, 0x4000, 0x4200, 0x4400};
  const uint64_t dims[] = {2, 2};
  w.begin_group("embed");
  w.add_tensor_f16("embed", dims, half);
  for (const auto& [name, blob] : blobs) w.add_aux(name, blob);
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(w.write_to_memory(&bytes, &error)) << error;
  return bytes;
}

// A written container, its metadata image (a copy tests may forge) and a descriptor holding the
// file as written.
struct Opened {
  explicit Opened(const Blobs& blobs, uint64_t prefix = 0)
      : bytes(write_container(blobs)),
        image(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(u64_at(bytes, 48))),
        fd(testing::memory_file(bytes, prefix)) {}
  ~Opened() { close(fd); }
  uint64_t table() const { return u64_at(image, 208); }
  uint64_t entry(uint64_t j) const { return table() + 32 + j * u64_at(image, table() + 8); }
  std::string error(uint64_t base = 0) const { return error_with(image, image.size(), base); }
  std::string error_with(const std::vector<uint8_t>& img, uint64_t length, uint64_t base) const {
    try {
      VXProcessor p(img.data(), length, fd, base);
    } catch (const DomainError& e) {
      return e.domain() + ": " + e.reason();
    }
    return "(loaded)";
  }

  std::vector<uint8_t> bytes;
  std::vector<uint8_t> image;
  int fd;
};

TEST(ProcessorAssets, LoadsFromBlobsAfterTheWeights) {
  Opened c(asset_blobs());
  VXProcessor p(c.image.data(), c.image.size(), c.fd);
  EXPECT_EQ(p.config().at("model_type"), "smolvlm");
  EXPECT_EQ(p.eos(), (std::vector<int64_t>{50258, 50256}));
  EXPECT_EQ(p.decode(std::vector<int64_t>{'h', 'i', 256}), "hihe");
  EXPECT_EQ(p.token_bytes(256), "he");

  // The same container inside a larger file, at a base offset.
  Opened shifted(asset_blobs(), 4096);
  EXPECT_EQ(shifted.error(4096), "(loaded)");
  EXPECT_EQ(shifted.error(0), "VexaModel: Invalid processor JSON");
}

TEST(ProcessorAssets, TableContents) {
  // Other names are skipped, however many.
  Blobs extra = asset_blobs();
  extra.insert(extra.begin(), {"notes.txt", "not json"});
  extra.push_back({"chat_template.jinja", "{}"});
  EXPECT_EQ(Opened(extra).error(), "(loaded)");

  Blobs five = asset_blobs();
  five.pop_back();
  EXPECT_EQ(Opened(five).error(), "VexaModel: Missing processor assets in vexa container");

  Blobs twice = asset_blobs();
  twice.push_back(twice[0]);
  EXPECT_EQ(Opened(twice).error(), "VexaModel: Duplicate processor asset");

  for (const char* bad : {"[1, 2]", "{\"a\": 1,}", "{\"a\": 1} // note", "", "\"text\"",
                          "{\"a\": \"\xFF\"}"}) {
    Blobs blobs = asset_blobs();
    blobs[4].second = bad;
    EXPECT_EQ(Opened(blobs).error(), "VexaModel: Invalid processor JSON") << bad;
  }

  // Nesting: 512 levels load, 513 are refused before parsing.
  const auto nested = [](int depth) {
    std::string s = R"({"image_seq_len": 64, "junk": )";
    s += std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
    return s;
  };
  Blobs deep = asset_blobs();
  deep[4].second = nested(512);
  EXPECT_EQ(Opened(deep).error(), "(loaded)");
  deep[4].second = nested(513);
  EXPECT_EQ(Opened(deep).error(), "VexaModel: Invalid processor JSON");
  deep[4].second = std::string(100000, '[');
  EXPECT_EQ(Opened(deep).error(), "VexaModel: Invalid processor JSON");

  // An empty table.
  Opened c(asset_blobs());
  put_u64(c.image, c.table() + 16, 0);
  EXPECT_EQ(c.error(), "VexaModel: Missing processor assets in vexa container");
}

TEST(ProcessorAssets, BlobSizeLimitAndShortFile) {
  Blobs big = asset_blobs();
  std::string& config = big[0].second;
  config.append(kMiB8 - config.size(), ' ');
  Opened c(big);
  EXPECT_EQ(c.error(), "(loaded)");
  // The blob is first, so one byte more still lies inside the file: only the limit refuses it.
  put_u64(c.image, c.entry(0) + 24, kMiB8 + 1);
  EXPECT_EQ(c.error(), "VexaModel: Aux blob bounds");

  // The header promises bytes the file does not hold.
  Opened whole(asset_blobs());
  std::vector<uint8_t> cut(whole.bytes.begin(), whole.bytes.end() - 10);
  const int fd = testing::memory_file(cut);
  EXPECT_EQ(whole.error_with(whole.image, whole.image.size(), 0), "(loaded)");
  try {
    VXProcessor p(whole.image.data(), whole.image.size(), fd);
    ADD_FAILURE() << "loaded from a short file";
  } catch (const DomainError& e) {
    EXPECT_EQ(std::string(e.domain()) + ": " + e.reason(), "VexaModel: Reading processor asset");
  }
  close(fd);
}

struct Forgery {
  const char* what;
  std::function<void(Opened&)> apply;
  const char* message;
};

TEST(ProcessorAssets, ForgedTablesNamesAndBlobs) {
  const uint64_t max = UINT64_MAX;
  const std::vector<Forgery> forgeries = {
      // Table position and shape.
      {"table past the image", [](Opened& c) { put_u64(c.image, 208, c.image.size() - 23); },
       "Aux metadata bounds"},
      {"table near 2^64", [&](Opened& c) { put_u64(c.image, 208, max - 8); },
       "Aux metadata bounds"},
      {"table size past the image", [](Opened& c) { put_u64(c.image, 216, c.image.size()); },
       "Aux table bounds"},
      {"table size near 2^64", [&](Opened& c) { put_u64(c.image, 216, max); }, "Aux table bounds"},
      {"table size below header", [](Opened& c) { put_u64(c.image, 216, 31); },
       "Aux table bounds"},
      {"stride 0", [](Opened& c) { put_u64(c.image, c.table() + 8, 0); }, "Aux table bounds"},
      {"stride 63", [](Opened& c) { put_u64(c.image, c.table() + 8, 63); }, "Aux table bounds"},
      {"stride near 2^64", [&](Opened& c) { put_u64(c.image, c.table() + 8, max); },
       "Aux table bounds"},
      {"count past the table", [](Opened& c) { put_u64(c.image, c.table() + 16, 7); },
       "Aux table bounds"},
      {"count near 2^64", [&](Opened& c) { put_u64(c.image, c.table() + 16, max); },
       "Aux table bounds"},
      // Names.
      {"all-zero entry", [](Opened& c) { std::memset(c.image.data() + c.entry(2), 0, 64); },
       "Aux name bounds"},
      {"name in the area header",
       [](Opened& c) { put_u64(c.image, c.entry(0), u64_at(c.image, 80) + 31); },
       "Aux name bounds"},
      {"name at the area end",
       [](Opened& c) { put_u64(c.image, c.entry(0), u64_at(c.image, 80) + u64_at(c.image, 88)); },
       "Aux name bounds"},
      {"name near 2^64", [&](Opened& c) { put_u64(c.image, c.entry(1), max); },
       "Aux name bounds"},
      {"area below its header", [](Opened& c) { put_u64(c.image, 88, 31); }, "Aux name bounds"},
      {"area past the image",
       [](Opened& c) { put_u64(c.image, 88, c.image.size() - u64_at(c.image, 80) + 1); },
       "Aux name bounds"},
      {"area near 2^64", [&](Opened& c) { put_u64(c.image, 80, max - 16); }, "Aux name bounds"},
      {"area size near 2^64", [&](Opened& c) { put_u64(c.image, 88, max); }, "Aux name bounds"},
      {"name without terminator",
       [](Opened& c) {
         const uint64_t name = u64_at(c.image, c.entry(0));
         put_u64(c.image, 88, name - u64_at(c.image, 80) + std::strlen("config.json"));
       },
       "Aux name terminator"},
      {"name not UTF-8", [](Opened& c) { c.image[u64_at(c.image, c.entry(3))] = 0xC0; },
       "Aux name UTF-8"},
      // Blobs.
      {"blob inside the metadata", [](Opened& c) { put_u64(c.image, c.entry(0) + 16, 512); },
       "Aux blob bounds"},
      {"blob past the container",
       [](Opened& c) { put_u64(c.image, c.entry(0) + 16, u64_at(c.image, 32) + 1); },
       "Aux blob bounds"},
      {"blob running past the container",
       [](Opened& c) {
         put_u64(c.image, c.entry(5) + 24, u64_at(c.image, 32) - u64_at(c.image, c.entry(5) + 16) + 1);
       },
       "Aux blob bounds"},
      {"blob offset and size near 2^64",
       [&](Opened& c) {
         put_u64(c.image, c.entry(0) + 16, max - 100);
         put_u64(c.image, c.entry(0) + 24, 200);
       },
       "Aux blob bounds"},
      {"blob size near 2^64", [&](Opened& c) { put_u64(c.image, c.entry(1) + 24, max); },
       "Aux blob bounds"},
      {"blob over the weights",
       [](Opened& c) { put_u64(c.image, c.entry(0) + 16, c.image.size()); },
       "Invalid processor JSON"},
      {"empty blob at the end",
       [](Opened& c) {
         put_u64(c.image, c.entry(0) + 16, u64_at(c.image, 32));
         put_u64(c.image, c.entry(0) + 24, 0);
       },
       "Invalid processor JSON"},
  };
  for (const Forgery& f : forgeries) {
    Opened c(asset_blobs());
    f.apply(c);
    EXPECT_EQ(c.error(), std::string("VexaModel: ") + f.message) << f.what;
  }

  // The image itself too short for the directory, and a base offset that would wrap.
  Opened c(asset_blobs());
  EXPECT_EQ(c.error_with(c.image, 223, 0), "VexaModel: Aux metadata bounds");
  EXPECT_EQ(c.error(max - 10), "VexaModel: Reading processor asset");
}

// A table written by hand: 50,000 entries naming one 2 MiB string, then the six assets. Each
// name is checked (terminator, UTF-8) and skipped, which must cost one pass over the string,
// not one per entry.
TEST(ProcessorAssets, ManyEntriesNamingOneLongStringStayLinear) {
  constexpr uint64_t kRepeats = 50000;
  const std::string long_name(2 << 20, 'a');
  const Blobs blobs = asset_blobs();
  std::vector<uint8_t> image(512, 0);
  const uint64_t area = image.size();
  image.resize(area + 32);
  std::vector<uint64_t> names;
  for (const auto& [name, blob] : blobs) {
    names.push_back(image.size());
    image.insert(image.end(), name.begin(), name.end());
    image.push_back(0);
  }
  const uint64_t long_at = image.size();
  image.insert(image.end(), long_name.begin(), long_name.end());
  image.push_back(0);
  put_u64(image, 80, area);
  put_u64(image, 88, image.size() - area);
  const uint64_t table = image.size();
  const uint64_t count = kRepeats + blobs.size();
  image.resize(table + 32 + count * 64, 0);
  put_u64(image, 208, table);
  put_u64(image, 216, 32 + count * 64);
  put_u64(image, table + 8, 64);
  put_u64(image, table + 16, count);
  for (uint64_t j = 0; j < kRepeats; ++j) put_u64(image, table + 32 + j * 64, long_at);
  std::vector<uint8_t> file = image;
  for (uint64_t k = 0; k < blobs.size(); ++k) {
    const uint64_t e = table + 32 + (kRepeats + k) * 64;
    put_u64(image, e, names[k]);
    put_u64(image, e + 16, file.size());
    put_u64(image, e + 24, blobs[k].second.size());
    file.insert(file.end(), blobs[k].second.begin(), blobs[k].second.end());
  }
  put_u64(image, 32, file.size());
  const int fd = testing::memory_file(file);
  VXProcessor p(image.data(), image.size(), fd);
  EXPECT_EQ(p.eos(), (std::vector<int64_t>{50258, 50256}));
  close(fd);
}

TEST(ProcessorAssets, ConfigurationAndTokenFailuresAreReportedByDomain) {
  Blobs blobs = asset_blobs();
  json tokenizer = json::parse(blobs[1].second);
  tokenizer["model"]["byte_fallback"] = true;
  blobs[1].second = tokenizer.dump();
  EXPECT_EQ(Opened(blobs).error(), "VexaModel: Unsupported tokenizer contract");

  blobs = asset_blobs();
  blobs[4].second = R"({"image_seq_len": "64"})";
  const std::string typed = Opened(blobs).error();
  EXPECT_EQ(typed.rfind("VexaModel: ", 0), 0u) << typed;
  EXPECT_NE(typed.find("type must be number, but is string"), std::string::npos) << typed;

  Opened c(asset_blobs());
  VXProcessor p(c.image.data(), c.image.size(), c.fd);
  const auto failure = [](const std::function<void()>& fn) -> std::string {
    try {
      fn();
    } catch (const DomainError& e) {
      return e.domain() + ": " + e.reason();
    }
    return "(none)";
  };
  EXPECT_EQ(failure([&] { p.token_bytes(-1); }), "VexaFrontend: Decode token out of bounds");
  EXPECT_EQ(failure([&] { p.decode(std::vector<int64_t>{1, 512}); }), "VexaFrontend: Decode ID");
  EXPECT_EQ(p.token_bytes(257), "");  // the special "<image>"
}

}  // namespace
}  // namespace vexa
