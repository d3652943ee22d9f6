// Headers that promise more than any file holds. A reader checks the sizes it
// multiplies and the rows the file can hold before it allocates, so a forged
// header costs nothing and the result never depends on the machine's memory:
// the calls run with their address space capped at 1 GiB.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "le_bytes.h"
#include "plugins/utf16.h"
#include "plugin_expectations.h"
#include "temp_dir.h"

namespace tavrin::test {
namespace {

constexpr uint64_t kOneGiB = uint64_t{1} << 30;
const RunOptions kCapped{.address_space_limit = kOneGiB};

// A 54-byte header for a 24-bit picture, pixels at offset 54.
std::vector<uint8_t> header(int32_t width, int32_t height) {
  std::vector<uint8_t> h(54, 0);
  h[0] = 'B';
  h[1] = 'M';
  put_le32(h.data() + 10, 54);
  put_le32(h.data() + 14, 40);
  put_le32(h.data() + 18, static_cast<uint32_t>(width));
  put_le32(h.data() + 22, static_cast<uint32_t>(height));
  put_le16(h.data() + 26, 1);
  put_le16(h.data() + 28, 24);
  return h;
}

// `header(width, height)` followed by pixel bytes up to `size` bytes in all.
std::vector<uint8_t> file_of(int32_t width, int32_t height, size_t size) {
  std::vector<uint8_t> f = header(width, height);
  for (size_t i = f.size(); i < size; ++i) f.push_back(static_cast<uint8_t>(i * 7));
  f.resize(size);
  return f;
}

class Limits : public testing::TestWithParam<PluginExpectations> {
protected:
  const PluginExpectations &plugin() const { return GetParam(); }

  RunResult run(const std::vector<uint8_t> &file, const RunOptions &options = kCapped) {
    write_file(input_, file);
    return run_plugin(plugin(), input_, dir_.file("out.bmp"), options);
  }

  void expect_refused(const RunResult &r) const {
    ASSERT_TRUE(r.completed) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, plugin().before_load(input_));
    EXPECT_FALSE(file_exists(dir_.file("out.bmp")));
  }

  TempDir dir_;
  std::string input_ = dir_.file("in.bmp");
};

// The same file with a modest height runs out of rows at the same place: the
// huge header must get exactly that answer, with no gigabytes allocated.
TEST_P(Limits, HugeHeaderOnShortFileFailsWhereTheRowsEnd) {
  struct Case {
    int32_t width, huge_height, modest_height;
    size_t size;
    int full_rows; // complete stored rows in the file
  };
  const int64_t stride_20000 = 60000;
  for (const Case &c : {Case{65535, 65535, 1, 100, 0}, Case{65535, -65535, -1, 100, 0},
                        Case{20000, 65535, 7, static_cast<size_t>(54 + 5 * stride_20000 + 77), 5},
                        Case{20000, -40000, -9, static_cast<size_t>(54 + 2 * stride_20000), 2}}) {
    SCOPED_TRACE(testing::Message() << c.width << " x " << c.huge_height << " in " << c.size << " bytes");
    RunResult modest = run(file_of(c.width, c.modest_height, c.size));
    expect_refused(modest);
    EXPECT_EQ(modest.err, plugin().rows_missing(input_, c.full_rows));
    RunResult huge = run(file_of(c.width, c.huge_height, c.size));
    expect_refused(huge);
    EXPECT_EQ(huge.err, modest.err);
  }
}

// Sizes whose products wrap in 32 bits, and a height whose magnitude does not
// fit: refused, never read or written past a buffer.
TEST_P(Limits, SizesThatOverflowAreRefused) {
  const int32_t kMin = INT32_MIN, kMax = INT32_MAX;
  for (auto [width, height] : {std::pair{0x55555556, 2}, {kMax, 1}, {1, kMax}, {kMax, kMax},
                               {65536, 65536}, {65536, 0x5556}, {0x40000000, -4}, {3, kMin},
                               {kMin, 3}, {-3, 3}, {0, 5}, {5, 0}}) {
    SCOPED_TRACE(testing::Message() << width << " x " << height);
    expect_refused(run(file_of(width, height, 200)));
  }
}

// A picture that passes every check, its rows really there (a sparse file),
// but too big for the memory at hand: the load fails cleanly.
TEST_P(Limits, PictureTooBigForMemoryFailsCleanly) {
  if (!address_space_limit_works()) GTEST_SKIP() << "needs an address-space cap";
  const int32_t side = 20000; // 1.2 GB of pixels
  const std::vector<uint8_t> h = header(side, side);
  write_file(input_, h);
  ASSERT_EQ(truncate(input_.c_str(), static_cast<off_t>(54 + int64_t{60000} * side)), 0);
  RunResult r = run_plugin(plugin(), input_, dir_.file("out.bmp"), kCapped);
  expect_refused(r);
}

// No memory to convert a path: status 1 and the plug-in's own line (or none),
// never an exception thrown into the host.
TEST_P(Limits, NoMemoryForThePathFailsTheCall) {
  if (!address_space_limit_works()) GTEST_SKIP() << "needs an address-space cap";
  // 24 MB as UTF-8, with 12 MB to spare.
  const std::u16string long_path(size_t{24} << 20, u'a');
  const std::u16string out = argument_to_utf16(dir_.file("out.bmp"));
  RunResult r = run_export(plugin_library(plugin().info->library), plugin().info->symbol, long_path.c_str(),
                           out.c_str(), {.address_space_headroom = uint64_t{12} << 20});
  ASSERT_TRUE(r.completed) << r.err;
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, plugin().no_memory_for_path);
  EXPECT_FALSE(file_exists(dir_.file("out.bmp")));
}

INSTANTIATE_TEST_SUITE_P(Plugins, Limits, testing::ValuesIn(built_plugins()),
                         [](const auto &info) { return plugin_test_name(info.param); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Limits);

} // namespace
} // namespace tavrin::test
