// Every plug-in against a world that lets it down: outputs that cannot be
// written, inputs that are not files, and the output path naming the input.
// A failed call returns 1, prints the plug-in's own message and never reports
// an output as written.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bmp_builder.h"
#include "plugin_expectations.h"
#include "hostile_pictures.h"
#include "quiet_child.h"
#include "seed_pictures.h"
#include "temp_dir.h"

namespace tavrin::test {
namespace {

class FailingWorld : public testing::TestWithParam<PluginExpectations> {
protected:
  void SetUp() override {
    // The unprivileged calls must reach the folder and read the input.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    input_ = dir_.file("in.bmp");
    write_file(input_, fuzz::make_face_file(61, 75));
  }

  const PluginExpectations &plugin() const { return GetParam(); }

  // A failed save: status 1, the writer's message last on standard error, no
  // line that reports the output as written.
  void expect_failed_save(const RunResult &r, const std::string &output) const {
    ASSERT_TRUE(r.completed) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.err, plugin().cannot_write(output))) << r.err;
    EXPECT_EQ(r.out.find(plugin().written(output)), std::string::npos) << r.out;
  }

  // A refused input: status 1, exactly the reader's message, nothing written.
  void expect_refused_input(const RunResult &r, const std::string &input, const std::string &err) const {
    ASSERT_TRUE(r.completed) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, plugin().before_load(input));
    EXPECT_EQ(r.err, err);
    EXPECT_FALSE(file_exists(dir_.file("out.bmp")));
  }

  TempDir dir_;
  std::string input_;
};

TEST_P(FailingWorld, FullDiskIsAFailedWrite) {
  expect_failed_save(run_plugin(plugin(), input_, "/dev/full"), "/dev/full");
}

TEST_P(FailingWorld, OutputInAMissingFolder) {
  const std::string output = dir_.file("no-such-folder/out.bmp");
  expect_failed_save(run_plugin(plugin(), input_, output), output);
  EXPECT_FALSE(file_exists(output));
}

TEST_P(FailingWorld, OutputInAReadOnlyFolder) {
  const std::string folder = dir_.file("read-only");
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  ASSERT_EQ(chmod(folder.c_str(), 0555), 0);
  const std::string output = folder + "/out.bmp";
  expect_failed_save(run_plugin(plugin(), input_, output, {.unprivileged = true}), output);
  EXPECT_FALSE(file_exists(output));
}

TEST_P(FailingWorld, OutputThatIsAFolder) {
  const std::string output = dir_.file("a-folder");
  ASSERT_TRUE(std::filesystem::create_directory(output));
  expect_failed_save(run_plugin(plugin(), input_, output), output);
  EXPECT_TRUE(std::filesystem::is_directory(output));
}

TEST_P(FailingWorld, InputThatCannotBeOpened) {
  const std::string missing = dir_.file("missing.bmp");
  expect_refused_input(run_plugin(plugin(), missing, dir_.file("out.bmp")), missing,
                       plugin().cannot_open(missing));

  const std::string locked = dir_.file("locked.bmp");
  write_file(locked, fuzz::make_face_file(61, 75));
  ASSERT_EQ(chmod(locked.c_str(), 0000), 0);
  expect_refused_input(run_plugin(plugin(), locked, dir_.file("out.bmp"), {.unprivileged = true}),
                       locked, plugin().cannot_open(locked));
}

TEST_P(FailingWorld, InputThatIsEmptyOrAFolder) {
  const std::string empty = dir_.file("empty.bmp");
  write_file(empty, {});
  expect_refused_input(run_plugin(plugin(), empty, dir_.file("out.bmp")), empty,
                       plugin().not_a_bitmap(empty));

  const std::string folder = dir_.file("folder.bmp");
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  expect_refused_input(run_plugin(plugin(), folder, dir_.file("out.bmp")), folder,
                       plugin().not_a_bitmap(folder));
}

// The input is read and closed before the output is opened, so writing over
// the input gives what a separate output gets.
TEST_P(FailingWorld, OutputOverTheInput) {
  const Picture portrait = shrunk_portrait(2);
  const std::string original = dir_.file("portrait.bmp"), separate = dir_.file("separate.bmp");
  const std::string in_place = dir_.file("in-place.bmp");
  ASSERT_TRUE(write_picture(original.c_str(), portrait));
  ASSERT_TRUE(write_picture(in_place.c_str(), portrait));

  RunResult apart = run_plugin(plugin(), original, separate);
  RunResult same = run_plugin(plugin(), in_place, in_place);
  ASSERT_TRUE(apart.completed && same.completed) << apart.err << same.err;
  EXPECT_EQ(apart.status, 999);
  EXPECT_EQ(same.status, 999);
  EXPECT_EQ(read_file(in_place), read_file(separate));
  EXPECT_NE(read_file(in_place), read_file(original)) << "no accessory drawn on the portrait";

  auto replace_all = [](std::string text, const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
      text.replace(at, from.size(), to);
    return text;
  };
  EXPECT_EQ(replace_all(replace_all(apart.out, separate, in_place), original, in_place), same.out);
  EXPECT_EQ(apart.err, same.err);
}

// A pipe cannot seek: the reader reaches the pixels by reading forward, and
// the picture is the one the same bytes give from a file.
TEST_P(FailingWorld, InputFromAPipe) {
  const std::string plain = dir_.file("plain.bmp"), file = dir_.file("long-header.bmp");
  const std::string fifo = dir_.file("pipe.bmp");
  ASSERT_TRUE(write_picture(plain.c_str(), shrunk_portrait(2)));
  TestPicture picture;
  ASSERT_TRUE(decode_bmp24(read_file(plain), picture));
  // A 124-byte information header puts the pixels past the first 54 bytes.
  const std::vector<uint8_t> bytes = encode_bmp(picture, {.info_header_size = 124});
  write_file(file, bytes);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  // The writer is a process, not a thread: the plug-in's forked child must
  // not inherit a half-opened stream of another thread.
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    const int fd = open(fifo.c_str(), O_WRONLY); // waits for the reader
    for (size_t at = 0; fd >= 0 && at < bytes.size();) {
      const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    _exit(0);
  }
  RunResult piped = run_plugin(plugin(), fifo, dir_.file("from-pipe.bmp"));
  kill(writer, SIGKILL); // in case the reader never came
  waitpid(writer, nullptr, 0);
  RunResult filed = run_plugin(plugin(), file, dir_.file("from-file.bmp"));

  ASSERT_TRUE(piped.completed && filed.completed) << piped.err << filed.err;
  EXPECT_EQ(piped.status, 999) << piped.err;
  EXPECT_EQ(filed.status, 999) << filed.err;
  EXPECT_EQ(piped.err, filed.err);
  EXPECT_EQ(read_file(dir_.file("from-pipe.bmp")), read_file(dir_.file("from-file.bmp")));
}

// The runner itself, when the system will not make another process: the
// test that asked fails with the reason, and no call is reported.
TEST(PluginRunner, AFailedForkFailsTheTest) {
  const std::string problem = run_quietly([] {
    // Root is not held to the process limit; the unprivileged user is.
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return std::string("cannot drop root");
    // Only the soft limit drops, so it can be lifted again: the leak checker
    // of sanitizer builds needs a thread when this child ends.
    rlimit before{};
    getrlimit(RLIMIT_NPROC, &before);
    const rlimit no_processes{0, before.rlim_max};
    if (setrlimit(RLIMIT_NPROC, &no_processes) != 0) return std::string("cannot limit processes");
    testing::TestPartResultArray failures;
    RunResult r;
    {
      testing::ScopedFakeTestPartResultReporter catcher(
          testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
      r = run_export(plugin_library("none"), "none", "in.bmp", "out.bmp");
    }
    setrlimit(RLIMIT_NPROC, &before);
    if (r.completed) return std::string("reported as completed");
    if (failures.size() != 1) return "reported " + std::to_string(failures.size()) + " failures";
    const std::string message = failures.GetTestPartResult(0).message();
    if (message.find("fork failed") == std::string::npos) return "reported: " + message;
    return std::string();
  });
  EXPECT_EQ(problem, "");
}

INSTANTIATE_TEST_SUITE_P(Plugins, FailingWorld, testing::ValuesIn(built_plugins()),
                         [](const auto &info) { return plugin_test_name(info.param); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FailingWorld);

} // namespace
} // namespace tavrin::test
