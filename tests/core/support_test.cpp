#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/atomics.h"
#include "core/bytes.h"
#include "core/checked_math.h"
#include "core/clock.h"
#include "core/os.h"
#include "tests/core/fifo_guard.h"

namespace vexa {
namespace {

TEST(Bytes, EmptyCopyViewAndTerminatedString) {
  Bytes b = bytes_copy(nullptr, 0);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.length, 0u);
  EXPECT_EQ(b.capacity, 0u);
  const std::string_view v = bytes_view(&b);
  EXPECT_NE(v.data(), nullptr);
  EXPECT_EQ(v.size(), 0u);
  CStringResult s = bytes_to_cstring(&b);
  ASSERT_EQ(s.status, 0u);
  EXPECT_EQ(s.data[0], '\0');
  std::free(s.data);

  Bytes abc = bytes_copy("a\0b", 3);
  EXPECT_EQ(abc.capacity, 3u);
  s = bytes_to_cstring(&abc);
  EXPECT_EQ(s.status, 1u);
  bytes_free(&abc);

  Bytes hello = bytes_copy("hello", 5);
  s = bytes_to_cstring(&hello);
  ASSERT_EQ(s.status, 0u);
  EXPECT_STREQ(s.data, "hello");
  EXPECT_EQ(s.length, 5u);
  std::free(s.data);
  EXPECT_EQ(bytes_view(&hello), "hello");
  bytes_free(&hello);

  const struct {
    const char* p;
    uint64_t n;
    uint32_t status;
  } paths[] = {{"model.vexa", 10, 0}, {"model.vexa", 5, 0}, {nullptr, 0, 0}, {"", 0, 0},
               {"a\0b", 3, 1}, {nullptr, 4, 1}};
  for (const auto& c : paths) {
    s = bytes_cstring_copy(c.p, c.n);
    ASSERT_EQ(s.status, c.status) << c.n;
    if (s.status != 0) continue;
    EXPECT_EQ(s.length, c.n);
    EXPECT_EQ(std::string(s.data), std::string(c.p == nullptr ? "" : c.p, c.n));
    std::free(s.data);
  }
}

TEST(Bytes, GrowthRule) {
  struct Case {
    uint64_t cap, need, want;
  } cases[] = {{0, 1, 1}, {3, 8, 12}, {3, 3, 3}, {0, 5, 8}, {1, 1, 1},
               {uint64_t{1} << 63, (uint64_t{1} << 63) + 5, (uint64_t{1} << 63) + 5},
               {(uint64_t{1} << 62) + 1, (uint64_t{1} << 63) + 9, (uint64_t{1} << 63) + 9}};
  for (const Case& c : cases) EXPECT_EQ(growth_capacity(c.cap, c.need), c.want) << c.cap << " " << c.need;

  Bytes b = bytes_empty();
  ASSERT_EQ(bytes_reserve(&b, 0), 0u);
  EXPECT_EQ(b.data, nullptr);
  ASSERT_EQ(bytes_reserve(&b, 1), 0u);
  EXPECT_EQ(b.capacity, 1u);
  bytes_free(&b);

  b = bytes_copy("abc", 3);
  ASSERT_EQ(bytes_reserve(&b, 5), 0u);
  EXPECT_EQ(b.capacity, 12u);
  EXPECT_EQ(b.length, 3u);
  ASSERT_EQ(bytes_append(&b, nullptr, 0), 0u);
  EXPECT_EQ(b.length, 3u);
  // An append that would pass 2^64 - 1 fails and leaves the buffer intact.
  b.length = UINT64_MAX - 1;
  EXPECT_EQ(bytes_append(&b, "xy", 2), 1u);
  EXPECT_EQ(b.length, UINT64_MAX - 1);
  EXPECT_EQ(b.capacity, 12u);
  b.length = 3;
#if !defined(__SANITIZE_ADDRESS__)
  // A reserve the heap cannot satisfy fails and keeps the old block (the sanitizer's allocator
  // aborts on such requests instead of returning null).
  uint8_t* old = b.data;
  EXPECT_EQ(bytes_reserve(&b, uint64_t{1} << 62), 1u);
  EXPECT_EQ(b.data, old);
#endif
  ASSERT_EQ(bytes_append(&b, "defghijklm", 10), 0u);
  EXPECT_EQ(b.capacity, 24u);
  EXPECT_EQ(bytes_view(&b), "abcdefghijklm");
  bytes_free(&b);
}

TEST(Bytes, EditingAndComparison) {
  Bytes b = bytes_copy("hello", 5);
  EXPECT_EQ(bytes_insert(&b, "X", 1, 6), 2u);
  EXPECT_EQ(bytes_insert(&b, "XY", 2, 1), 0u);
  EXPECT_EQ(bytes_view(&b), "hXYello");
  EXPECT_EQ(bytes_remove_range(&b, 2, 1), 2u);
  EXPECT_EQ(bytes_remove_range(&b, 1, 1), 0u);
  EXPECT_EQ(bytes_remove_range(&b, 1, 3), 0u);
  EXPECT_EQ(bytes_view(&b), "hello");
  EXPECT_EQ(bytes_remove_range(&b, 0, 6), 2u);
  Bytes c = bytes_clone(&b);
  EXPECT_EQ(c.capacity, 5u);
  EXPECT_TRUE(bytes_equal(&b, &c));
  EXPECT_TRUE(bytes_equal_view(&b, "hello", 5));
  EXPECT_FALSE(bytes_equal_view(&b, "hellO", 5));
  bytes_truncate(&c, 9);
  EXPECT_EQ(c.length, 5u);
  bytes_truncate(&c, 2);
  EXPECT_EQ(bytes_view(&c), "he");
  bytes_clear(&c);
  EXPECT_EQ(c.length, 0u);
  Bytes e1 = bytes_empty();
  Bytes e2 = bytes_with_capacity(0);
  EXPECT_TRUE(bytes_equal(&e1, &e2));
  EXPECT_EQ(bytes_hash(&e1), 0xcbf29ce484222325ull);
  // FNV-1a of "a" is a published value.
  Bytes a = bytes_copy("a", 1);
  EXPECT_EQ(bytes_hash(&a), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(bytes_reserve_exact(&a, 7), 0u);
  EXPECT_EQ(bytes_capacity(&a), 7u);
  EXPECT_EQ(bytes_length(&a), 1u);
  bytes_free(&a);
  bytes_free(&b);
  bytes_free(&c);

  struct Record {
    void* first;
    void* second;
  } r{std::malloc(4), std::malloc(4)};
  free_first_word(&r);
  free_second_word(&r);
  Record none{nullptr, nullptr};
  free_first_word(&none);
  free_second_word(&none);
}

TEST(CheckedMath, EdgesOfEachOperation) {
  constexpr uint64_t kMax = UINT64_MAX;
  const struct {
    const char* what;
    bool (*op)(uint64_t, uint64_t, uint64_t*);
    uint64_t a, b;
    bool ok;
    uint64_t want;
  } cases[] = {
      {"add fits exactly", checked_add_u64, kMax - 5, 5, true, kMax},
      {"add one past", checked_add_u64, kMax - 5, 6, false, 0},
      {"add zero to max", checked_add_u64, kMax, 0, true, kMax},
      {"mul fits exactly", checked_mul_u64, kMax / 3, 3, true, kMax},
      {"mul one past", checked_mul_u64, kMax / 3 + 1, 3, false, 0},
      {"mul by zero", checked_mul_u64, kMax, 0, true, 0},
      {"mul zero by max", checked_mul_u64, 0, kMax, true, 0},
      {"mul 2^32 squared", checked_mul_u64, uint64_t{1} << 32, uint64_t{1} << 32, false, 0},
      {"round up already aligned", checked_round_up, 32768, 16384, true, 32768},
      {"round up one byte", checked_round_up, 1, 16384, true, 16384},
      {"round up zero", checked_round_up, 0, 64, true, 0},
      {"round up past the top", checked_round_up, kMax - 62, 64, false, 0},
      {"round up to the last multiple", checked_round_up, kMax - 126, 64, true, kMax - 63},
  };
  for (const auto& c : cases) {
    uint64_t out = 7;
    EXPECT_EQ(c.op(c.a, c.b, &out), c.ok) << c.what;
    EXPECT_EQ(out, c.ok ? c.want : 7u) << c.what << ": untouched on failure";
  }

  // stride * (count - 1) + last: 3 rows of 10 bytes 16 apart span 42 bytes.
  uint64_t extent = 0;
  EXPECT_TRUE(checked_strided_extent(10, 16, 3, &extent));
  EXPECT_EQ(extent, 42u);
  EXPECT_TRUE(checked_strided_extent(10, kMax, 1, &extent)) << "one row never reads the stride";
  EXPECT_EQ(extent, 10u);
  EXPECT_TRUE(checked_strided_extent(9, (kMax - 9) / 2, 3, &extent));
  EXPECT_EQ(extent, kMax);
  EXPECT_FALSE(checked_strided_extent(10, (kMax - 9) / 2, 3, &extent));
  EXPECT_FALSE(checked_strided_extent(1, kMax / 2 + 1, 3, &extent));

  EXPECT_TRUE(range_within(0, 0, 0));
  EXPECT_TRUE(range_within(10, 0, 10));
  EXPECT_FALSE(range_within(11, 0, 10));
  EXPECT_TRUE(range_within(4, 6, 10));
  EXPECT_FALSE(range_within(4, 7, 10));
  EXPECT_FALSE(range_within(4, kMax, 10)) << "offset + length wraps to 3";
  EXPECT_FALSE(range_within(kMax, 2, kMax));
}

TEST(Atomics, ValuesAndWrapping) {
  uint32_t flag = 0;
  EXPECT_EQ(atomic_cas_u32(&flag, 0, 1, kOrderAcquire), 0u);
  EXPECT_EQ(flag, 1u);
  EXPECT_EQ(atomic_cas_u32(&flag, 0, 1, kOrderAcquire), 1u);
  EXPECT_EQ(flag, 1u);
  for (MemoryOrder order : {-1, 0, 1, 2, 3, 7}) {
    uint64_t v = 10;
    EXPECT_EQ(atomic_fetch_add_u64(&v, 5, order), 10u);
    EXPECT_EQ(v, 15u);
    EXPECT_EQ(atomic_fetch_add_u64(&v, ~uint64_t{3} + 1, order), 15u);
    EXPECT_EQ(v, 12u);
    EXPECT_EQ(atomic_fetch_sub_u64(&v, 13, order), 12u);
    EXPECT_EQ(v, UINT64_MAX);
    uint32_t w = 0xf0;
    EXPECT_EQ(atomic_fetch_and_u32(&w, 0x3c, order), 0xf0u);
    EXPECT_EQ(atomic_fetch_or_u32(&w, 0x01, order), 0x30u);
    EXPECT_EQ(atomic_fetch_xor_u32(&w, 0xff, order), 0x31u);
    EXPECT_EQ(atomic_exchange_u32(&w, 9, order), 0xceu);
    EXPECT_EQ(atomic_load_u32(&w, order), 9u);
    atomic_store_u32(&w, 4, order);
    EXPECT_EQ(atomic_fetch_sub_u32(&w, 5, order), 4u);
    EXPECT_EQ(w, UINT32_MAX);
    EXPECT_EQ(atomic_cas_u64(&v, 0, 1, order), UINT64_MAX);
    atomic_store_u64(&v, 7, order);
    EXPECT_EQ(atomic_exchange_u64(&v, 8, order), 7u);
    EXPECT_EQ(atomic_fetch_and_u64(&v, 12, order), 8u);
    EXPECT_EQ(atomic_fetch_or_u64(&v, 1, order), 8u);
    EXPECT_EQ(atomic_fetch_xor_u64(&v, 9, order), 9u);
    EXPECT_EQ(atomic_load_u64(&v, order), 0u);
    atomic_fence(order);
  }
}

TEST(Atomics, ReferenceCountAcrossThreads) {
  uint32_t count = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        atomic_fetch_add_u32(&count, 1, kOrderRelaxed);
        atomic_fetch_sub_u32(&count, 1, kOrderSeqCst);
        atomic_fetch_add_u32(&count, 1, kOrderRelaxed);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(atomic_load_u32(&count, kOrderAcquire), 40000u);
}

TEST(OsHelpers, HostConstants) {
  EXPECT_EQ(os_open_flags_truncate(), O_WRONLY | O_CREAT | O_TRUNC);
  EXPECT_EQ(os_open_flags_truncate(), 0x241);
  EXPECT_EQ(os_open_flags_append(), 0x441);
  EXPECT_EQ(os_stat_size(), sizeof(struct stat));
  EXPECT_EQ(os_stat_size(), 144u);
  EXPECT_LE(os_stat_size(), kStatRecordCapacityBytes);
  EXPECT_EQ(os_eintr(), 4);
  EXPECT_EQ(os_eagain(), 11);
  EXPECT_EQ(os_socket_level(), 1);
  EXPECT_EQ(os_socket_receive_timeout(), 20);
  EXPECT_EQ(os_socket_send_timeout(), 21);
  EXPECT_EQ(os_fcntl_get_status(), 3);
  EXPECT_EQ(os_fcntl_set_status(), 4);
  EXPECT_EQ(os_path_separator(), '/');
  EXPECT_EQ(os_path_separator_view(), "/");
  EXPECT_TRUE(os_is_path_separator('/'));
  EXPECT_FALSE(os_is_path_separator('\\'));
  EXPECT_FALSE(os_path_is_absolute("", 0));
  EXPECT_TRUE(os_path_is_absolute("/x", 2));
  EXPECT_FALSE(os_path_is_absolute("x/", 2));
  const uint32_t ok = 0;
  const uint32_t bad = 2;
  EXPECT_TRUE(status_is_ok(&ok));
  EXPECT_TRUE(status_is_error(&bad));
}

TEST(OsHelpers, FilesSocketsAndWrites) {
  char dir_template[] = "/tmp/vexa-os-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string path = dir + "/f";
  const int fd = open(path.c_str(), os_open_flags_truncate(), 0644);
  ASSERT_GE(fd, 0);
  os_write_all(fd, "0123456789", 10);
  os_write_all(fd, nullptr, 0);
  EXPECT_EQ(os_close(fd), 0);
  alignas(8) uint8_t record[kStatRecordCapacityBytes] = {};
  ASSERT_EQ(os_stat(path.c_str(), record), 0);
  EXPECT_EQ(os_stat_file_size(record), 10);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(os_stat_mode(record) & 0777, 0644 & ~mask);
  EXPECT_EQ(os_stat_uid(record), getuid());
  EXPECT_GT(os_stat_mtime(record), 0);
  EXPECT_EQ(os_lstat(path.c_str(), record), 0);
  EXPECT_EQ(os_mkdir((dir + "/sub").c_str(), 0755), 0);
  EXPECT_EQ(os_rename(path.c_str(), (dir + "/g").c_str()), 0);
  DIR* d = os_opendir(dir.c_str());
  ASSERT_NE(d, nullptr);
  int names = 0;
  while (dirent* e = os_readdir(d)) {
    const std::string n = os_dirent_name(e);
    if (n == "g" || n == "sub") ++names;
  }
  EXPECT_EQ(os_closedir(d), 0);
  EXPECT_EQ(names, 2);
  os_advise_no_cache(-1, 0, 0);  // advice only: a bad descriptor changes nothing

  int pair[2];
  ASSERT_EQ(os_socketpair(pair), 0);
  for (const int end : pair) EXPECT_NE(fcntl(end, F_GETFD) & FD_CLOEXEC, 0) << "end " << end;
  EXPECT_EQ(os_set_no_sigpipe(pair[0]), 0);
  EXPECT_EQ(os_set_socket_timeouts(pair[0], 2), 0);
  EXPECT_EQ(os_set_nonblocking(pair[1]), 0);
  EXPECT_EQ(os_set_nonblocking(pair[1]), 0);
  EXPECT_EQ(os_send(pair[0], "ping", 4), 4);
  char buf[8] = {};
  EXPECT_EQ(os_read(pair[1], buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "ping");
  errno = 0;
  EXPECT_EQ(os_read(pair[1], buf, sizeof buf), -1);
  EXPECT_EQ(os_errno(), EAGAIN);
  close(pair[1]);
  // No SIGPIPE on a closed peer: the send fails instead.
  EXPECT_EQ(os_send(pair[0], "x", 1), -1);
  close(pair[0]);
  EXPECT_EQ(os_set_nonblocking(-1), -1);
  std::system(("rm -rf " + dir).c_str());
}

TEST(OsHelpers, OpenRegularReadRefusesAnythingElse) {
  testing::TempFifo fifo;
  ASSERT_TRUE(fifo.ok());
  char dir_template[] = "/tmp/vexa-os-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string file = dir + "/f";
  const int w = open(file.c_str(), os_open_flags_truncate(), 0644);
  ASSERT_GE(w, 0);
  os_write_all(w, "abc", 3);
  os_close(w);

  struct Case {
    const char* what;
    std::string path;
    bool opens;
  } cases[] = {{"regular file", file, true},
               {"fifo", fifo.path(), false},
               {"folder", dir, false},
               {"character device", "/dev/null", false},
               {"missing", dir + "/absent", false}};
  for (const Case& c : cases) {
    int fd = -2;
    const bool returned = testing::returns_without_writer(
        fifo.path(), [&] { fd = os_open_regular_read(c.path.c_str()); },
        std::chrono::seconds(2));
    EXPECT_TRUE(returned) << c.what << ": blocked until a writer came";
    EXPECT_EQ(fd >= 0, c.opens) << c.what;
    if (fd < 0) continue;
    // Reads block again as usual and the descriptor is never inherited.
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << c.what;
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << c.what;
    char buf[4] = {};
    EXPECT_EQ(os_read(fd, buf, sizeof buf), 3);
    os_close(fd);
  }
  EXPECT_EQ(os_open_regular_read(nullptr), -1);
  unlink(file.c_str());
  rmdir(dir.c_str());
}

std::vector<std::pair<int, std::string>>* g_hooked = nullptr;

TEST(OsHelpers, OutputHookRoutesPrinting) {
  std::vector<std::pair<int, std::string>> seen;
  g_hooked = &seen;
  EXPECT_FALSE(os_has_output_hook());
  os_set_output_hook([](int stream, const char* p, uint64_t n) {
    g_hooked->emplace_back(stream, std::string(p, n));
  });
  EXPECT_TRUE(os_has_output_hook());
  os_print("ab", 2);
  os_print_line("cd", 2);
  os_print_error_line("ef", 2);
  os_print_error_newline();
  os_clear_output_hook();
  EXPECT_FALSE(os_has_output_hook());
  const std::vector<std::pair<int, std::string>> want = {{1, "ab"}, {1, "cd"}, {2, "ef"}, {2, ""}};
  EXPECT_EQ(seen, want);
  g_hooked = nullptr;
}

// The slot may be swapped while another thread prints (a data race for ThreadSanitizer unless
// the slot is atomic): every print sees either no hook or a whole one.
TEST(OsHelpers, OutputHookSwappedWhilePrinting) {
  constexpr int kSwaps = 2000;
  static std::atomic<int> hooked_calls{0};
  std::atomic<bool> stop{false};
  std::thread printer([&] {
    while (!stop.load()) os_print("", 0);
  });
  for (int i = 0; i < kSwaps; ++i) {
    os_set_output_hook([](int, const char*, uint64_t) { hooked_calls.fetch_add(1); });
    os_clear_output_hook();
  }
  stop.store(true);
  printer.join();
  EXPECT_FALSE(os_has_output_hook());
}

TEST(ClockAndWipes, MonotonicAndZeroing) {
  const double a = monotonic_seconds();
  const double b = monotonic_seconds_2();
  EXPECT_GT(a, 0.0);
  EXPECT_GE(b, a);
  uint8_t buf[16];
  std::memset(buf, 0xff, sizeof buf);
  EXPECT_EQ(secure_zero(buf, 8), 0);
  EXPECT_EQ(buf[7], 0);
  EXPECT_EQ(buf[8], 0xff);
  wipe_buffer(buf, 16);
  EXPECT_EQ(buf[15], 0);
  wipe_buffer(nullptr, 16);
  EXPECT_EQ(secure_zero(nullptr, 0), 0);
}

}  // namespace
}  // namespace vexa
