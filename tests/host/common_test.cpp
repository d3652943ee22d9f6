// The small helpers every plug-in shares.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory_resource>
#include <new>
#include <string>
#include <vector>

#include "bmp_builder.h"
#include "bmp_header.h"
#include "child_exit.h"
#include "channel_order.h"
#include "file_handle.h"
#include "pixel_memory.h"
#include "temp_dir.h"

namespace tavrin {
namespace {

std::vector<uint8_t> counting_bytes(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  return bytes;
}

// The block path handles sixteen pixels at a time; every length up to a few
// blocks, odd offsets and the in-place form must match the byte rule.
TEST(SwapRedBlue, MatchesThePerPixelRuleForEveryLength) {
  const std::vector<uint8_t> source = counting_bytes(3 * 100 + 1);
  for (size_t offset : {size_t{0}, size_t{1}})
    for (size_t pixels = 0; pixels <= 99; ++pixels) {
      const uint8_t *from = source.data() + offset;
      std::vector<uint8_t> want(3 * pixels + 2, 0xAB);
      for (size_t i = 0; i < pixels; ++i) {
        want[3 * i] = from[3 * i + 2];
        want[3 * i + 1] = from[3 * i + 1];
        want[3 * i + 2] = from[3 * i];
      }
      std::vector<uint8_t> copied(3 * pixels + 2, 0xAB);
      swap_red_blue(copied.data(), from, pixels);
      EXPECT_EQ(copied, want) << pixels << " pixels";
      std::vector<uint8_t> in_place(from, from + 3 * pixels);
      in_place.resize(3 * pixels + 2, 0xAB);
      swap_red_blue(in_place.data(), in_place.data(), pixels);
      EXPECT_EQ(in_place, want) << pixels << " pixels in place";
    }
}

// Buffers from 128 KiB up start on a huge page (where the system has them)
// and are whole pages to their rounded end; every size is usable to its
// last byte, and a count whose bytes overflow is refused.
TEST(PixelMemory, HugePagesFrom128KiBAndEveryByteUsable) {
  for (size_t bytes : {size_t{1}, size_t{4096}, (size_t{128} << 10) - 1, size_t{128} << 10, size_t{1} << 20,
                       (size_t{2} << 20) + 1, size_t{5} << 20}) {
    SCOPED_TRACE(bytes);
    const PixelArray<uint8_t> memory = allocate_array<uint8_t>(bytes);
    ASSERT_TRUE(memory);
    std::memset(memory.get(), 0x5A, bytes);
    EXPECT_EQ(memory[bytes - 1], 0x5A);
    bool huge = false;
#if defined(__linux__)
    huge = reinterpret_cast<uintptr_t>(memory.get()) % (size_t{2} << 20) == 0;
    EXPECT_EQ(huge, bytes >= (size_t{128} << 10));
#endif
    const size_t whole_pages = (bytes + (size_t{2} << 20) - 1) / (size_t{2} << 20) * (size_t{2} << 20);
    EXPECT_EQ(pixel_capacity(bytes), huge ? whole_pages : bytes);
    std::memset(memory.get(), 0x5B, pixel_capacity(bytes)); // all of it the caller's
  }
  EXPECT_FALSE(allocate_array<double>(SIZE_MAX / 4));
  EXPECT_FALSE(allocate_array<uint8_t>(SIZE_MAX - 10));
}

// An arena starts in the spare memory it is given and goes on in blocks of
// whole huge pages; values survive every move to a new block, every request
// gets its alignment, and what cannot be had is std::bad_alloc, which the
// plug-ins report as a lack of memory.
TEST(WorkArena, SpareFirstThenHugeBlocksAlignedAndBadAllocAtTheEnd) {
  alignas(16) uint8_t spare[1000];
  WorkArena arena(spare, sizeof spare);
  std::pmr::vector<double> small(100, 1.5, &arena);
  EXPECT_GE(reinterpret_cast<uint8_t *>(small.data()), spare);
  EXPECT_LE(reinterpret_cast<uint8_t *>(small.data() + 100), spare + sizeof spare);

  std::pmr::vector<uint32_t> grown(&arena);
  for (uint32_t i = 0; i < (3u << 20) / 4; ++i) grown.push_back(i * 2654435761u);
  for (uint32_t i = 0; i < grown.size(); ++i) ASSERT_EQ(grown[i], i * 2654435761u) << i;
  EXPECT_EQ(small[99], 1.5);
  for (size_t alignment : {size_t{1}, size_t{8}, size_t{64}, size_t{4096}}) {
    void *p = arena.allocate(3, alignment);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u) << alignment;
    std::memset(p, 1, 3);
  }
  // Larger than a block: from the heap.
  std::pmr::vector<uint8_t> big((size_t{5} << 20) + 3, 7, &arena);
  EXPECT_EQ(big.back(), 7);

  volatile size_t impossible = SIZE_MAX - 10; // unknown to the compiler's size checks
  EXPECT_THROW((void)arena.allocate(impossible, 8), std::bad_alloc);
  EXPECT_THROW((void)arena.allocate(64, size_t{4} << 20), std::bad_alloc);

  // The newest allocation, freed, is handed out again; an older one is not.
  void *older = arena.allocate(256, 8);
  void *newest = arena.allocate(256, 8);
  arena.deallocate(older, 256, 8);
  arena.deallocate(newest, 256, 8);
  EXPECT_EQ(arena.allocate(256, 8), newest);
  EXPECT_NE(arena.allocate(256, 8), older);

  // Past the arena's own blocks, memory is the heap's, one allocation at a
  // time, and goes back when freed (the sanitizers see a bad free or a leak).
  std::vector<std::pmr::vector<uint8_t>> many;
  for (int i = 0; i < 12; ++i) many.emplace_back(size_t{1} << 20, static_cast<uint8_t>(i), &arena);
  for (size_t i = 0; i < many.size(); i += 2) many[i] = std::pmr::vector<uint8_t>(&arena);
  for (size_t i = 1; i < many.size(); i += 2) EXPECT_EQ(many[i][12345], i);
  many.clear();

  // Nothing in an arena without spare memory until the first request.
  WorkArena empty;
  EXPECT_EQ(std::pmr::vector<int>(10, 3, &empty).at(9), 3);
}

#if defined(TAVRIN_TEST_ASAN)
// The arena's memory is checked as the heap's is: a read past a vector's
// end, or of a freed one, stops the program.
TEST(WorkArenaDeathTest, ReadsPastAVectorOrAfterItsFreeingAreCaught) {
  EXPECT_DEATH(
      {
        WorkArena arena;
        std::pmr::vector<uint8_t> v(100, 1, &arena);
        volatile uint8_t past = v.data()[v.size() + 3];
        (void)past;
      },
      "use-after-poison");
  EXPECT_DEATH(
      {
        WorkArena arena;
        std::pmr::vector<uint8_t> kept(10, 1, &arena);
        const uint8_t *gone = nullptr;
        {
          std::pmr::vector<uint8_t> v(100, 1, &arena);
          gone = v.data();
        }
        volatile uint8_t stale = gone[5];
        (void)stale;
      },
      "use-after-poison");
}
#endif

TEST(SeekFromStart, FilesSeekBothWaysPipesOnlyForward) {
  test::TempDir dir;
  const std::string path = dir.file("data");
  const std::vector<uint8_t> bytes = counting_bytes(10000);
  test::write_file(path, bytes);

  FileHandle file = open_file(path.c_str(), "rb");
  ASSERT_TRUE(file);
  EXPECT_EQ(file_length(file.get()), 10000);
  ASSERT_TRUE(seek_from_start(file.get(), 9000, 0));
  EXPECT_EQ(std::fgetc(file.get()), bytes[9000]);
  ASSERT_TRUE(seek_from_start(file.get(), 3, 9001));
  EXPECT_EQ(std::fgetc(file.get()), bytes[3]);
  EXPECT_FALSE(seek_from_start(file.get(), -1, 4));

  // A pipe has no length and cannot seek, but can be read forward.
  std::FILE *pipe = popen(("cat " + path).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  EXPECT_EQ(file_length(pipe), -1);
  uint8_t head[54];
  ASSERT_EQ(std::fread(head, 1, sizeof head, pipe), sizeof head);
  ASSERT_TRUE(seek_from_start(pipe, 6000, 54));
  EXPECT_EQ(std::fgetc(pipe), bytes[6000]);
  EXPECT_FALSE(seek_from_start(pipe, 100, 6001)); // cannot go back
  EXPECT_FALSE(seek_from_start(pipe, 20000, 6001)); // runs out
  pclose(pipe);
}

TEST(CloseFile, ReportsBytesThatNeverReachedTheDisk) {
  FileHandle full = open_file("/dev/full", "wb");
  ASSERT_TRUE(full);
  EXPECT_EQ(std::fputc('x', full.get()), 'x'); // buffered, so it fails only on close
  EXPECT_FALSE(close_file(full));
  FileHandle none;
  EXPECT_FALSE(close_file(none));
  EXPECT_FALSE(open_file(nullptr, "rb"));
}

TEST(Bmp24Header, FieldsAndSizes) {
  std::vector<uint8_t> header(54, 0xEE);
  fill_bmp24_header(header.data(), 5, 3, 48, 2835);
  EXPECT_EQ(header[0], 'B');
  EXPECT_EQ(header[1], 'M');
  EXPECT_EQ(test::field32(header, 2), 54u + 16 * 3); // rows of 15 bytes padded to 16
  EXPECT_EQ(test::field32(header, 6), 0u);
  EXPECT_EQ(test::field32(header, 10), 54u);
  EXPECT_EQ(test::field32(header, 14), 40u);
  EXPECT_EQ(test::field32(header, 18), 5u);
  EXPECT_EQ(test::field32(header, 22), 3u);
  EXPECT_EQ(test::field16(header, 26), 1u);
  EXPECT_EQ(test::field16(header, 28), 24u);
  EXPECT_EQ(test::field32(header, 30), 0u);
  EXPECT_EQ(test::field32(header, 34), 48u);
  EXPECT_EQ(test::field32(header, 38), 2835u);
  EXPECT_EQ(test::field32(header, 42), 2835u);
  EXPECT_EQ(test::field32(header, 46), 0u);
  EXPECT_EQ(test::field32(header, 50), 0u);

  // Pictures past 4 GiB keep the low 32 bits of their size.
  fill_bmp24_header(header.data(), 65535, 65535, 0, 0);
  EXPECT_EQ(test::field32(header, 2), static_cast<uint32_t>(uint64_t{196608} * 65535 + 54));
}

TEST(Bmp24Limits, SavedSizeMustFitTheHeader) {
  EXPECT_EQ(bmp_stride(1, 3), 4);
  EXPECT_EQ(bmp_stride(4, 3), 12);
  EXPECT_EQ(bmp_stride(3, 4), 12);
  EXPECT_TRUE(bmp24_file_fits(1, 1));
  EXPECT_FALSE(bmp24_file_fits(0, 1));
  EXPECT_FALSE(bmp24_file_fits(1, 0));
  // 54 + 4 * h <= INT32_MAX exactly at h = (INT32_MAX - 54) / 4.
  const int64_t tallest = (INT32_MAX - 54) / 4;
  EXPECT_TRUE(bmp24_file_fits(1, tallest));
  EXPECT_FALSE(bmp24_file_fits(1, tallest + 1));
  EXPECT_FALSE(bmp24_file_fits(65535, 65535));
}

} // namespace
} // namespace tavrin
