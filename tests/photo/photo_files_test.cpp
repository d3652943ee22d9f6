// What the photo path does to the file system: hostile inputs refused with
// one line and nothing written, staging files that never outlive a run (not
// even an interrupted one), outputs that would replace the input, names
// that are not UTF-8, and the sheet and demo commands.
#include "photo_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <random>

namespace tavrin::test {
namespace {

std::vector<uint8_t> bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

void put32(std::string &s, uint32_t v) { s += {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

// A PNG with a true-colour IHDR of the given size and valid CRCs, so only
// its size can refuse it.
std::vector<uint8_t> png_header_only(uint32_t width, uint32_t height) {
  std::string png("\x89PNG\r\n\x1a\n", 8);
  auto chunk = [&png](const char *type, const std::string &data) {
    const std::string body = type + data;
    put32(png, uint32_t(data.size()));
    png += body;
    put32(png, uint32_t(crc32(0, reinterpret_cast<const Bytef *>(body.data()), uInt(body.size()))));
  };
  std::string ihdr;
  put32(ihdr, width);
  put32(ihdr, height);
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);
  chunk("IHDR", ihdr);
  chunk("IDAT", std::string("\x78\x9c\x03\x00\x00\x00\x00\x01", 8));
  chunk("IEND", "");
  return bytes_of(png);
}

std::vector<uint8_t> noise(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t &b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

TEST_F(PhotoCommand, HostileInputsAreRefusedWithOneLine) {
  ASSERT_TRUE(save(portrait_image(), path("good.jpg[Q=90]")));
  ASSERT_TRUE(save(portrait_image(), path("good.png")));
  std::vector<uint8_t> jpeg = read_file(path("good.jpg")), png = read_file(path("good.png"));
  // The JPEG's tables and frame header intact, its scan replaced by noise.
  const std::vector<uint8_t> scan = {0xff, 0xda};
  const auto sos = std::search(jpeg.begin(), jpeg.end(), scan.begin(), scan.end());
  ASSERT_NE(sos, jpeg.end());
  jpeg.erase(sos + 14, jpeg.end());
  const std::vector<uint8_t> garbage = noise(20000, 1);
  jpeg.insert(jpeg.end(), garbage.begin(), garbage.end());
  png.resize(png.size() / 2);
  std::filesystem::remove(path("good.jpg"));
  std::filesystem::remove(path("good.png"));

  write_file(path("corrupt.jpg"), jpeg);
  write_file(path("truncated.png"), png);
  write_file(path("huge.png"), png_header_only(60000, 60000));
  write_file(path("noise.jpg"), noise(4096, 2));
  write_file(path("empty.png"), {});
  const std::set<std::string> before = listing();
  for (const char *name : {"corrupt.jpg", "truncated.png", "huge.png", "noise.jpg", "empty.png"}) {
    SCOPED_TRACE(name);
    for (const char *out : {"out.png", "out.jpg", "out.bmp"})
      expect_refused(tavrin({"sunglasses", path(name), path(out)}), path(name), before);
  }
  expect_refused(tavrin({"sunglasses", path("missing.png"), path("out.png")}), path("missing.png"), before);
}

TEST_F(PhotoCommand, MegapixelLimitRefusesFromTheHeader) {
  ASSERT_TRUE(save(portrait_image(), path("in.png")));
  write_file(path("in.bmp"), encode_bmp(portrait_pixels()));
  const std::set<std::string> before = listing();
  for (const char *name : {"in.png", "in.bmp"})
    expect_refused(tavrin({"sunglasses", "--max-megapixels", "0.01", path(name), path("out.png")}), path(name),
                   before);
  // 0.288 megapixels: under a limit of 0.3.
  EXPECT_EQ(tavrin({"sunglasses", "--max-megapixels", "0.3", path("in.png"), path("out.png")}).status, 0);
}

TEST_F(PhotoCommand, FailedRunLeavesAnExistingOutputAlone) {
  write_file(path("noise.png"), noise(5000, 3));
  write_file(path("out.png"), bytes_of("an earlier result"));
  const std::set<std::string> before = listing();
  expect_refused(tavrin({"sunglasses", path("noise.png"), path("out.png")}), path("noise.png"), before);
  EXPECT_EQ(read_file(path("out.png")), bytes_of("an earlier result"));
}

TEST_F(PhotoCommand, OutputOntoTheInputNeedsInPlace) {
  ASSERT_TRUE(save(portrait_image(), path("a.jpg[Q=90]")));
  std::filesystem::create_directory(path("sub"));
  const std::vector<uint8_t> original = read_file(path("a.jpg"));
  const std::set<std::string> before = listing();
  // The same file however it is spelt.
  for (const std::string &out : {path("a.jpg"), files.path() + "/sub/../a.jpg", files.path() + "/./a.jpg"}) {
    SCOPED_TRACE(out);
    expect_refused(tavrin({"sunglasses", path("a.jpg"), out}), path("a.jpg"), before);
    EXPECT_EQ(read_file(path("a.jpg")), original);
  }
  const ProgramResult r = tavrin({"sunglasses", "--in-place", path("a.jpg"), path("a.jpg")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(found_face("sunglasses", r)) << r.out;
  EXPECT_NE(read_file(path("a.jpg")), original);
  EXPECT_EQ(loader_of(path("a.jpg")), "jpegload");
  EXPECT_EQ(listing(), before);
}

TEST_F(PhotoCommand, NamesThatAreNotUtf8) {
  ASSERT_TRUE(save(portrait_image(), path("in.jpg[Q=95]")));
  const std::string in = path("\xff\xfe.jpg"), out = path("\xfe\xff out.png");
  std::filesystem::rename(path("in.jpg"), in);
  const ProgramResult r = tavrin({"sunglasses", in, out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(found_face("sunglasses", r)) << r.out;
  EXPECT_EQ(listing(), (std::set<std::string>{"\xff\xfe.jpg", "\xfe\xff out.png"}));
  EXPECT_EQ(loader_of(out), "pngload");
  // A failure names the input by its own bytes.
  write_file(path("\xff\xfe.png"), noise(1000, 4));
  const std::set<std::string> before = listing();
  expect_refused(tavrin({"sunglasses", path("\xff\xfe.png"), out}), path("\xff\xfe.png"), before);
}

bool has_hidden(const std::set<std::string> &names) {
  for (const std::string &n : names)
    if (n.starts_with(".")) return true;
  return false;
}

// Exit status of a program that has ended, or -1 while it runs.
int status_if_ended(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(PhotoCommand, InterruptedRunLeavesNothingBehind) {
  // Big enough that the run is still going when the signal comes.
  Image big;
  {
    VipsImage *zoomed = nullptr;
    ASSERT_EQ(vips_zoom(portrait_image().get(), &zoomed, 9, 5, nullptr), 0);
    big = Image(zoomed);
  }
  ASSERT_TRUE(save(big, path("big.png[compression=1]")));
  // A private bitmap may go to the temp folder: give the runs one of their own.
  TempDir temp;
  const char *old_tmp = std::getenv("TMPDIR");
  const std::string saved_tmp = old_tmp != nullptr ? old_tmp : "";
  setenv("TMPDIR", temp.path().c_str(), 1);

  // Signals at several points of the run: decoding, the plug-in, encoding.
  for (int delay_ms : {0, 20, 60, 120, 200, 300, 450}) {
    const pid_t pid = start_program(TAVRIN_HOST_PROGRAM, {"sunglasses", path("big.png"), path("out.jpg")},
                                    logs.file("out.log"), logs.file("err.log"));
    int status = -1;
    for (int waited = 0; waited < delay_ms && status < 0 && !has_hidden(listing()); waited += 2) {
      usleep(2000);
      status = status_if_ended(pid);
    }
    if (status < 0) {
      kill(pid, SIGINT);
      status = wait_program(pid);
    }
    SCOPED_TRACE("after " + std::to_string(delay_ms) + " ms, status " + std::to_string(status));
    const std::vector<uint8_t> err = read_file(logs.file("err.log"));
    if (status == 0) {
      EXPECT_EQ(listing(), (std::set<std::string>{"big.png", "out.jpg"}));
      std::filesystem::remove(path("out.jpg"));
    } else {
      EXPECT_EQ(status, 130) << std::string(err.begin(), err.end());
      // A signal just after the rename finds the output whole.
      if (listing().contains("out.jpg")) {
        Image whole(vips_image_new_from_file(path("out.jpg").c_str(), "fail_on", VIPS_FAIL_ON_WARNING, nullptr));
        double mean = 0;
        EXPECT_TRUE(whole && whole.width() == big.width() && vips_avg(whole.get(), &mean, nullptr) == 0)
            << "partial output: " << vips_failure();
        std::filesystem::remove(path("out.jpg"));
      }
      EXPECT_EQ(listing(), (std::set<std::string>{"big.png"}));
    }
    EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
  }
  if (old_tmp != nullptr)
    setenv("TMPDIR", saved_tmp.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

TEST_F(PhotoCommand, SheetIsOneWidePng) {
  ASSERT_TRUE(save(portrait_image(), path("in.jpg[Q=95]")));
  const ProgramResult r = tavrin({"sheet", path("in.jpg"), path("sheet.png")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(listing(), (std::set<std::string>{"in.jpg", "sheet.png"}));
  EXPECT_EQ(loader_of(path("sheet.png")), "pngload");
  const Image sheet = load(path("sheet.png"));
  ASSERT_TRUE(sheet);
  EXPECT_GT(sheet.width(), sheet.height());
  EXPECT_GE(sheet.width(), 600);
  double deviation = 0;
  ASSERT_EQ(vips_deviate(sheet.get(), &deviation, nullptr), 0);
  EXPECT_GT(deviation, 10);

  write_file(path("noise.jpg"), noise(3000, 5));
  const std::set<std::string> before = listing();
  expect_refused(tavrin({"sheet", path("noise.jpg"), path("sheet2.png")}), path("noise.jpg"), before);
}

TEST_F(PhotoCommand, DemoWritesTheSheetBesideTheBitmaps) {
  const ProgramResult r = tavrin({"demo", path("demo")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::set<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(path("demo"))) names.insert(e.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"portrait.bmp", "portrait-sunglasses.bmp", "portrait-mustache.bmp",
                                          "portrait-hat.bmp", "portrait-beard.bmp", "portrait-sheet.png"}));
  const Image sheet = load(path("demo/portrait-sheet.png"));
  ASSERT_TRUE(sheet);
  EXPECT_GT(sheet.width(), sheet.height());
}

} // namespace
} // namespace tavrin::test
