// The server in this process with a stand-in job runner: how each kind of
// failed job is answered (a crash or a hang fails its request only), what a
// job is given, and the small pieces the routes are made of.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <thread>

#include <httplib.h>

#include "server/http_server.h"
#include "server/picture_format.h"
#include "server/routes.h"
#include "temp_dir.h"

namespace tavrin::server {
namespace {

using photo::ErrorKind;
using photo::Job;
using photo::JobResult;
using photo::Outcome;

JobResult failed(ErrorKind kind) {
  JobResult r;
  r.outcome = Outcome::failed;
  r.error_kind = kind;
  return r;
}

TEST(HttpStatus, EachFailureKindHasItsAnswer) {
  JobResult written;
  written.outcome = Outcome::written;
  EXPECT_EQ(http_status(written), 200);
  JobResult not_loadable;
  not_loadable.outcome = Outcome::not_loadable;
  EXPECT_EQ(http_status(not_loadable), 500);
  EXPECT_EQ(http_status(failed(ErrorKind::not_a_picture)), 400);
  EXPECT_EQ(http_status(failed(ErrorKind::none)), 400);
  EXPECT_EQ(http_status(failed(ErrorKind::too_large)), 413);
  EXPECT_EQ(http_status(failed(ErrorKind::plugin_failed)), 422);
  EXPECT_EQ(http_status(failed(ErrorKind::crashed)), 500);
  EXPECT_EQ(http_status(failed(ErrorKind::timed_out)), 500);
  EXPECT_EQ(http_status(failed(ErrorKind::io_failed)), 500);
  JobResult cancelled = failed(ErrorKind::none);
  cancelled.cancelled = true;
  EXPECT_EQ(http_status(cancelled), 503);
}

TEST(PercentEncode, KeepsWhatDecodeUriComponentKeepsAndNeverSplitsUtf8) {
  EXPECT_EQ(percent_encode("Face at (160,175)  size 160x200\n"), "Face%20at%20(160%2C175)%20%20size%20160x200%0A");
  EXPECT_EQ(percent_encode("a-_.!~*'()z"), "a-_.!~*'()z");
  EXPECT_EQ(percent_encode("\xc3\xa9t\xc3\xa9"), "%C3%A9t%C3%A9");
  // Cut inside the second é: the whole character goes.
  EXPECT_EQ(percent_encode("\xc3\xa9\xc3\xa9", 3), "%C3%A9");
  EXPECT_EQ(percent_encode(std::string(10000, 'a')).size(), 4096u);
}

TEST(PictureFormat, NamesInTheQuery) {
  EXPECT_EQ(format_from_name("JPEG"), "jpg");
  EXPECT_EQ(format_from_name("tiff"), "tif");
  EXPECT_EQ(format_from_name("gif"), "");
  EXPECT_EQ(format_from_name("png/../../x"), "");
  EXPECT_TRUE(reads("bmp"));
  EXPECT_TRUE(writes("bmp"));
}

// The server on a free loopback port with `runner` in place of the pool.
class InProcess {
public:
  explicit InProcess(JobRunner runner) {
    ServerConfig config;
    config.port = 0;
    config.jobs = 1;
    config.max_upload_bytes = 1'000'000;
    server_ = std::make_unique<HttpServer>(config, std::move(runner));
    std::string why;
    bound_ = server_->bind(why);
    if (bound_) thread_ = std::thread([this] { server_->run(); });
  }
  ~InProcess() {
    if (!bound_) return;
    for (int i = 0; i < 500 && !server_->stop(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    thread_.join();
  }
  bool ok() const { return bound_; }
  int port() const { return server_->port(); }

private:
  std::unique_ptr<HttpServer> server_;
  std::thread thread_;
  bool bound_ = false;
};

// A picture as far as the server's signature check goes.
const std::string kBmp = std::string("BM") + std::string(100, '\0');

TEST(InProcessServer, FailedJobsGetTheirStatusAndTheServerGoesOn) {
  std::mutex m;
  JobResult next;
  auto runner = [&](const Job &job) {
    std::lock_guard<std::mutex> lock(m);
    if (next.outcome != Outcome::written) return next;
    std::filesystem::copy_file(job.input, job.output);
    return next;
  };
  InProcess server(runner);
  ASSERT_TRUE(server.ok());
  httplib::Client client("127.0.0.1", server.port());
  JobResult cancelled = failed(ErrorKind::none);
  cancelled.cancelled = true;
  for (const JobResult &failure : {failed(ErrorKind::crashed), failed(ErrorKind::timed_out),
                                   failed(ErrorKind::too_large), cancelled, failed(ErrorKind::plugin_failed),
                                   failed(ErrorKind::io_failed)}) {
    {
      std::lock_guard<std::mutex> lock(m);
      next = failure;
      next.plugin_stderr = "trouble\n";
    }
    auto r = client.Post("/api/apply/hat", kBmp, "image/bmp");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, http_status(failure)) << static_cast<int>(failure.error_kind);
    EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
    EXPECT_NE(r->body.find("\"error\""), std::string::npos);
    EXPECT_NE(r->body.find("trouble"), std::string::npos);
    EXPECT_EQ(r->has_header("Retry-After"), failure.cancelled);

    {
      std::lock_guard<std::mutex> lock(m);
      next = JobResult{};
      next.outcome = Outcome::written;
      next.face_found = false;
    }
    auto good = client.Post("/api/apply/hat", kBmp, "image/bmp");
    ASSERT_TRUE(good);
    EXPECT_EQ(good->status, 200);
    EXPECT_EQ(good->body, kBmp);
    EXPECT_EQ(good->get_header_value("X-Tavrin-Face"), "none");
  }
}

TEST(InProcessServer, JobsGetPrivateFilesNamedByTheServer) {
  test::TempDir tmp;
  const char *old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", tmp.path().c_str(), 1);
  std::mutex m;
  std::vector<std::string> seen;
  auto runner = [&](const Job &job) {
    struct stat file {}, folder {};
    stat(job.input.c_str(), &file);
    stat(std::filesystem::path(job.input).parent_path().c_str(), &folder);
    std::lock_guard<std::mutex> lock(m);
    seen.push_back(job.effect + " " + job.encode.format);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(job.input.rfind(tmp.path() + "/tavrin-serve-", 0), 0u) << job.input;
    EXPECT_EQ(std::filesystem::path(job.output).parent_path(), std::filesystem::path(job.input).parent_path());
    std::filesystem::copy_file(job.input, job.output);
    JobResult r;
    r.outcome = Outcome::written;
    r.face_found = true;
    // As the pool stages it: in a folder of its own beside the output.
    const std::string staged = std::filesystem::path(job.output).parent_path().string() + "/.tavrin-12-0/result.bmp";
    r.plugin_stdout = "Loading " + job.input + " ...\nSaving " + staged + " ...\n";
    return r;
  };
  {
    InProcess server(runner);
    ASSERT_TRUE(server.ok());
    httplib::Client client("127.0.0.1", server.port());
    auto r = client.Post("/api/apply/sunglasses?format=bmp&name=../../etc/passwd", kBmp, "image/bmp");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("X-Tavrin-Face"), "found");
    // The lines name the files as the client knows them, not where they were.
    // (httplib's client undoes the percent-encoding itself.)
    EXPECT_EQ(r->get_header_value("X-Tavrin-Stdout"), "Loading upload ...\nSaving result.bmp ...\n");
  }
  if (old) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
  EXPECT_EQ(seen, std::vector<std::string>{"sunglasses bmp"});
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

} // namespace
} // namespace tavrin::server
