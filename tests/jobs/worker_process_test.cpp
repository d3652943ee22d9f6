// Worker processes and the pool, driven with the misbehaving plug-in: each
// fault fails its own job, names its cause, keeps the lines printed before
// it and leaves no file behind; the next job gets a fresh worker.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <thread>

#include "bmp_builder.h"
#include "jobs/pool.h"
#include "jobs/worker_process.h"
#include "program_run.h"
#include "temp_dir.h"

namespace tavrin {
namespace {

using test::Rgb;

constexpr Rgb kCrash{255, 0, 0}, kHang{0, 255, 0}, kGreedy{0, 0, 255}, kNoisy{255, 0, 255},
    kQuits{255, 255, 0}, kFace{255, 255, 255}, kPlain{10, 20, 30};

bool sanitized() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
  return __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
  return false;
#endif
}

class Workers : public ::testing::Test {
protected:
  Workers() { test::let_crashes_through_sanitizers(); }
  // A picture whose colour tells the plug-in what to do.
  photo::Job job(const std::string &name, Rgb colour) {
    const std::string in = dir.file(name + ".bmp");
    test::write_file(in, test::encode_bmp(test::make_picture(8, 8, colour)));
    photo::Job j;
    j.effect = "sunglasses";
    j.input = in;
    j.output = dir.file(name + "-out.bmp");
    j.plugin_dir = TAVRIN_MISBEHAVING_DIR;
    return j;
  }
  // Nothing but the inputs and the outputs named in `outputs` is left.
  void expect_only_outputs(std::initializer_list<std::string> outputs) {
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_FALSE(name.starts_with(".tavrin-")) << "staging left: " << name;
      if (name.ends_with("-out.bmp")) {
        EXPECT_NE(std::find(outputs.begin(), outputs.end(), name), outputs.end()) << name;
      }
    }
  }

  test::TempDir dir;
  jobs::WorkerProcess worker{{TAVRIN_HOST_PROGRAM, 0}};
};

TEST_F(Workers, KeepsOneProcessAcrossJobsAndCapturesEachJobsLines) {
  const photo::JobResult a = worker.run(job("a", kFace), 30, -1);
  ASSERT_EQ(a.outcome, photo::Outcome::written) << a.error;
  const pid_t pid = worker.pid();
  EXPECT_TRUE(a.face_found);
  EXPECT_NE(a.plugin_stdout.find("Loading "), std::string::npos);
  EXPECT_TRUE(test::file_exists(dir.file("a-out.bmp")));

  const photo::JobResult b = worker.run(job("b", kPlain), 30, -1);
  ASSERT_EQ(b.outcome, photo::Outcome::written) << b.error;
  EXPECT_FALSE(b.face_found);
  EXPECT_EQ(worker.pid(), pid);
  EXPECT_EQ(b.plugin_stdout.find("a.bmp"), std::string::npos) << "lines of the last job leaked in";
  EXPECT_EQ(b.plugin_stdout.find("Left eye"), std::string::npos);
}

TEST_F(Workers, CrashFailsItsJobWithTheSignalAndTheNextJobRuns) {
  const photo::JobResult r = worker.run(job("c", kCrash), 30, -1);
  EXPECT_EQ(r.outcome, photo::Outcome::failed);
  EXPECT_NE(r.error.find("the sunglasses plug-in crashed (Segmentation fault)"), std::string::npos) << r.error;
  EXPECT_NE(r.plugin_stdout.find("About to crash"), std::string::npos) << "lines before the crash are kept";
  EXPECT_FALSE(worker.running());

  const photo::JobResult next = worker.run(job("d", kPlain), 30, -1);
  EXPECT_EQ(next.outcome, photo::Outcome::written) << next.error;
  EXPECT_EQ(next.plugin_stdout.find("About to crash"), std::string::npos);
}

TEST_F(Workers, HangIsKilledAtItsTimeout) {
  const photo::JobResult r = worker.run(job("h", kHang), 0.5, -1);
  EXPECT_EQ(r.outcome, photo::Outcome::failed);
  EXPECT_NE(r.error.find("timed out after 0.5 s"), std::string::npos) << r.error;
  EXPECT_NE(r.plugin_stdout.find("About to hang"), std::string::npos);
  EXPECT_FALSE(worker.running());
}

TEST_F(Workers, EndlessOutputIsCutAndProcessExitIsNamed) {
  const photo::JobResult noisy = worker.run(job("n", kNoisy), 30, -1);
  EXPECT_EQ(noisy.outcome, photo::Outcome::written) << noisy.error;
  EXPECT_LE(noisy.plugin_stdout.size(), jobs::kConsoleCapBytes + 100);
  EXPECT_NE(noisy.plugin_stdout.find("(the rest of this output was cut)"), std::string::npos);

  const photo::JobResult quits = worker.run(job("q", kQuits), 30, -1);
  EXPECT_NE(quits.error.find("ended the process (exit status 3)"), std::string::npos) << quits.error;
}

TEST_F(Workers, MemoryBlowUpIsOutOfMemory) {
  if (sanitized()) GTEST_SKIP() << "sanitizers need an unlimited address space";
  jobs::WorkerProcess limited({TAVRIN_HOST_PROGRAM, uint64_t{1} << 30});
  const photo::JobResult r = limited.run(job("m", kGreedy), 30, -1);
  EXPECT_EQ(r.outcome, photo::Outcome::failed);
  EXPECT_NE(r.error.find("ran out of memory"), std::string::npos) << r.error;
  EXPECT_EQ(limited.run(job("m2", kPlain), 30, -1).outcome, photo::Outcome::written);
}

TEST(WorkerDeath, ReasonsNameTheCause) {
  EXPECT_EQ(jobs::death_reason("hat", SIGABRT), "the hat plug-in crashed (Aborted)");
  EXPECT_EQ(jobs::death_reason("hat", SIGKILL), "ran out of memory (the system killed the worker process)");
  EXPECT_EQ(jobs::death_reason("hat", 86 << 8), "ran out of memory");
  EXPECT_EQ(jobs::death_reason("hat", 127 << 8), "the worker process could not be started");
  EXPECT_GE(jobs::default_memory_limit(1000), uint64_t{2} << 30);
}

TEST_F(Workers, PoolLeavesOnlyCompleteOutputsAndCancelStopsEverything) {
  jobs::Pool pool({TAVRIN_HOST_PROGRAM, 2, 30});
  EXPECT_EQ(pool.run(job("good", kPlain)).outcome, photo::Outcome::written);
  const photo::JobResult crash = pool.run(job("crash", kCrash));
  EXPECT_EQ(crash.outcome, photo::Outcome::failed);

  // Cancel while two calls hang: both end at once, marked cancelled.
  photo::JobResult hung[2];
  std::thread a([&] { hung[0] = pool.run(job("hang0", kHang)); });
  std::thread b([&] { hung[1] = pool.run(job("hang1", kHang)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pool.cancel();
  a.join();
  b.join();
  for (const photo::JobResult &r : hung) {
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.outcome, photo::Outcome::failed);
  }
  const photo::JobResult late = pool.run(job("late", kPlain));
  EXPECT_TRUE(late.cancelled);
  expect_only_outputs({"good-out.bmp"});
}

TEST_F(Workers, PoolRefusesToReplaceTheInput) {
  jobs::Pool pool({TAVRIN_HOST_PROGRAM, 1, 30});
  photo::Job j = job("self", kPlain);
  j.output = j.input;
  const std::vector<uint8_t> before = test::read_file(j.input);
  const photo::JobResult r = pool.run(j);
  EXPECT_EQ(r.outcome, photo::Outcome::failed);
  EXPECT_NE(r.error.find("would replace the input"), std::string::npos) << r.error;
  EXPECT_EQ(test::read_file(j.input), before);
}

} // namespace
} // namespace tavrin
