// The messages between pool and worker, the picture sniffer and the report
// lines: everything that must survive hostile bytes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/batch_report.h"
#include "jobs/wire.h"
#include "photo/sniff.h"

namespace tavrin {
namespace {

TEST(Wire, JobAndResultSurviveBytesThatAreNotUtf8) {
  photo::Job job;
  job.effect = "hat";
  job.input = "in/caf\xE9-\xFF.bmp"; // Latin-1 bytes: a valid Linux file name
  job.output = "out/x.png";
  job.plugin_dir = "/opt/plugins";
  job.encode = {"png", 77, true};
  job.limits.max_pixels = 123456789;
  job.in_place = true;
  const std::vector<uint8_t> framed = jobs::frame_job(job);
  ASSERT_EQ(jobs::frame_length(framed.data()), framed.size() - 4);
  const std::optional<photo::Job> back = jobs::parse_job(framed.data() + 4, framed.size() - 4);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->input, job.input);
  EXPECT_EQ(back->output, job.output);
  EXPECT_EQ(back->plugin_dir, job.plugin_dir);
  EXPECT_EQ(back->encode.format, "png");
  EXPECT_EQ(back->encode.quality, 77);
  EXPECT_TRUE(back->encode.strip);
  EXPECT_EQ(back->limits.max_pixels, 123456789u);
  EXPECT_TRUE(back->in_place);

  photo::JobResult r;
  r.outcome = photo::Outcome::not_loadable;
  r.face_found = true;
  r.plugin_status = 999;
  r.plugin_stdout = std::string("a\0b\xFE\n", 5);
  r.error = "x: \xC3";
  r.error_kind = photo::ErrorKind::io_failed;
  r.total_ms = 12.5;
  const std::vector<uint8_t> reply = jobs::frame_result(r);
  const std::optional<photo::JobResult> got = jobs::parse_result(reply.data() + 4, reply.size() - 4);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->outcome, photo::Outcome::not_loadable);
  EXPECT_EQ(got->plugin_stdout, r.plugin_stdout);
  EXPECT_EQ(got->error, r.error);
  EXPECT_EQ(got->error_kind, r.error_kind);
  EXPECT_EQ(got->plugin_status, 999);
  EXPECT_DOUBLE_EQ(got->total_ms, 12.5);
}

TEST(Wire, GarbageAndWrongShapesAreRefused) {
  const uint8_t garbage[] = {0xC1, 0xFF, 0x00, 0x12};
  EXPECT_FALSE(jobs::parse_job(garbage, sizeof garbage));
  EXPECT_FALSE(jobs::parse_result(garbage, 0));
  // A result where a job belongs, and a job with a field of the wrong type.
  const std::vector<uint8_t> result = jobs::frame_result({});
  EXPECT_FALSE(jobs::parse_job(result.data() + 4, result.size() - 4));
  std::vector<uint8_t> bad = nlohmann::json::to_msgpack({{"outcome", 7}, {"face_found", false}});
  EXPECT_FALSE(jobs::parse_result(bad.data(), bad.size()));
}

TEST(Sniff, KnowsPicturesByTheirFirstBytes) {
  auto type = [](const std::string &head) {
    const char *t = photo::picture_type(reinterpret_cast<const uint8_t *>(head.data()), head.size());
    return t == nullptr ? std::string("none") : std::string(t);
  };
  EXPECT_EQ(type("BM\x36\0\0\0"), "bmp");
  EXPECT_EQ(type("\xFF\xD8\xFF\xE0"), "jpg");
  EXPECT_EQ(type("\x89PNG\r\n\x1A\n"), "png");
  EXPECT_EQ(type(std::string("RIFF\0\0\0\0WEBPVP8 ", 16)), "webp");
  EXPECT_EQ(type(std::string("II*\0", 4)), "tif");
  EXPECT_EQ(type(std::string("MM\0*", 4)), "tif");
  EXPECT_EQ(type(std::string("\0\0\0\x18" "ftypheic", 12)), "heic");
  EXPECT_EQ(type(std::string("\0\0\0\x18" "ftypavif", 12)), "avif");
  EXPECT_EQ(type(std::string("\0\0\0\x18" "ftypisom", 12)), "none"); // a video
  EXPECT_EQ(type(std::string("RIFF\0\0\0\0WAVE", 12)), "none");
  EXPECT_EQ(type("hello world"), "none");
  EXPECT_EQ(type("B"), "none");
  EXPECT_EQ(type(""), "none");
  EXPECT_FALSE(photo::looks_like_picture("/nonexistent/x.jpg"));
}

TEST(Report, OneValidLinePerEntryWhateverTheBytes) {
  cli::ReportEntry e;
  e.input = "in/\xFF\"quoted\".bmp";
  e.status = "failed";
  e.plugin_stdout = "Loading ...\nno newline at the end";
  e.plugin_stderr = "Truncated\r\n";
  e.ms = 12.345;
  e.error = "in/x.bmp: timed out after 2 s";
  const std::string line = cli::report_line(e);
  ASSERT_EQ(line.back(), '\n');
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  const nlohmann::json j = nlohmann::json::parse(line);
  EXPECT_EQ(j["input"], "in/\xEF\xBF\xBD\"quoted\".bmp");
  EXPECT_TRUE(j["output"].is_null());
  EXPECT_EQ(j["lines"], nlohmann::json({"Loading ...", "no newline at the end"}));
  EXPECT_EQ(j["error_lines"], nlohmann::json({"Truncated"}));
  EXPECT_DOUBLE_EQ(j["ms"].get<double>(), 12.3);
  EXPECT_EQ(j["error"], e.error);
  EXPECT_FALSE(j.contains("reason"));
}

} // namespace
} // namespace tavrin
