// The HTTP API over loopback, against `tavrin serve` in a child process:
// answers byte for byte like the command, every refusal, a full queue, many
// clients at once, and a stop that lets running requests finish.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "bmp_builder.h"
#include "demo/portrait.h"
#include "plugins/registry.h"
#include "server_process.h"
#include "temp_dir.h"

namespace tavrin {
namespace {

using test::RawConnection;
using test::ServerProcess;

std::string read_text(const std::string &path) {
  const std::vector<uint8_t> bytes = test::read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

// The portrait, and what the command writes for each effect on it, in `format`.
struct Expected {
  std::string input;
  std::map<std::string, std::string> outputs;
};

const Expected &expected(const std::string &format) {
  static std::map<std::string, Expected> cache;
  static test::TempDir dir;
  auto [it, fresh] = cache.try_emplace(format);
  if (!fresh) return it->second;
  const std::string bmp = dir.file("portrait.bmp");
  EXPECT_TRUE(write_picture(bmp.c_str(), make_portrait()));
  std::string input = bmp;
  if (format != "bmp") {
    // Any encoder will do: the server and the command get the same bytes.
    input = dir.file("portrait." + format);
    EXPECT_EQ(test::run_program({"/usr/bin/python3", "-c",
                                 "import sys; from PIL import Image; Image.open(sys.argv[1]).save(sys.argv[2])",
                                 bmp, input},
                                dir.file("convert.log")),
              0)
        << read_text(dir.file("convert.log"));
  }
  it->second.input = read_text(input);
  for (const PluginInfo &p : kPlugins) {
    const std::string out = dir.file(std::string("out-") + p.command + "." + format);
    EXPECT_EQ(test::run_program({TAVRIN_HOST_PROGRAM, p.command, input, out}, dir.file("cli.log")), 0)
        << read_text(dir.file("cli.log"));
    it->second.outputs[p.command] = read_text(out);
  }
  return it->second;
}

httplib::Result post(httplib::Client &client, const std::string &path, const std::string &body) {
  return client.Post(path.c_str(), body, "application/octet-stream");
}

std::string error_of(const httplib::Result &r) {
  const auto j = nlohmann::json::parse(r->body, nullptr, false);
  return j.is_object() && j.contains("error") ? j["error"].get<std::string>() : "(no JSON error)";
}

nlohmann::json get_json(int port, const char *path, int *status = nullptr) {
  httplib::Client client("127.0.0.1", port);
  auto r = client.Get(path);
  if (!r) return {};
  if (status != nullptr) *status = r->status;
  return nlohmann::json::parse(r->body, nullptr, false);
}

bool server_reads(int port, const char *format) {
  const nlohmann::json info = get_json(port, "/api/effects");
  for (const auto &f : info.value("reads", nlohmann::json::array()))
    if (f == format) return true;
  return false;
}

// Still serving: /healthz is fine and a real picture gets its answer.
void expect_serving(int port) {
  int status = 0;
  EXPECT_EQ(get_json(port, "/healthz", &status).value("status", ""), "ok");
  EXPECT_EQ(status, 200);
  httplib::Client client("127.0.0.1", port);
  auto r = post(client, "/api/apply/hat", expected("bmp").input);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, expected("bmp").outputs.at("hat"));
}

// Waits (bounded) until `n` apply requests are inside the server.
bool wait_for_active(int port, int n) {
  for (int i = 0; i < 500; ++i) {
    if (get_json(port, "/healthz").value("active", -1) == n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// A request whose body is sent only in part, so it holds its place.
std::string partial_request(const std::string &effect, const std::string &body, size_t sent) {
  return "POST /api/apply/" + effect + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, sent);
}

class Api : public testing::Test {
protected:
  static void SetUpTestSuite() { server_ = new ServerProcess({"--jobs", "2", "--max-upload-mb", "2"}); }
  static void TearDownTestSuite() {
    EXPECT_EQ(server_->stop(), 0) << server_->output();
    EXPECT_EQ(server_->leftovers(), "");
    delete server_;
  }
  void SetUp() override { ASSERT_TRUE(server_->ok()) << server_->output(); }
  static ServerProcess *server_;
};
ServerProcess *Api::server_ = nullptr;

TEST_F(Api, EachEffectAnswersTheCommandsBytesForBmp) {
  httplib::Client client("127.0.0.1", server_->port());
  const Expected &e = expected("bmp");
  for (const PluginInfo &p : kPlugins) {
    auto r = post(client, std::string("/api/apply/") + p.command, e.input);
    ASSERT_TRUE(r) << p.command;
    EXPECT_EQ(r->status, 200) << p.command << ": " << r->body.substr(0, 200);
    EXPECT_TRUE(r->body == e.outputs.at(p.command)) << p.command << ": bytes differ from the command's";
    EXPECT_EQ(r->get_header_value("Content-Type"), "image/bmp");
    EXPECT_EQ(r->get_header_value("X-Tavrin-Face"), "found") << p.command;
    EXPECT_EQ(r->get_header_value("X-Tavrin-Effect"), p.command);
  }
  // Asking for the input's own format changes nothing.
  auto r = post(client, "/api/apply/beard?format=BMP", e.input);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->body == e.outputs.at("beard"));
  EXPECT_EQ(server_->leftovers(), "");
}

TEST_F(Api, EachEffectAnswersTheCommandsBytesForPng) {
  if (!server_reads(server_->port(), "png"))
    GTEST_SKIP() << "this build has no photo path (BMP only): PNG in, PNG out is tested once it has";
  httplib::Client client("127.0.0.1", server_->port());
  const Expected &e = expected("png");
  for (const PluginInfo &p : kPlugins) {
    auto r = post(client, std::string("/api/apply/") + p.command, e.input);
    ASSERT_TRUE(r) << p.command;
    EXPECT_EQ(r->status, 200) << p.command << ": " << r->body.substr(0, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "image/png");
    EXPECT_TRUE(r->body == e.outputs.at(p.command)) << p.command << ": bytes differ from the command's";
  }
}

TEST_F(Api, EveryAnswerCarriesTheSafetyHeaders) {
  httplib::Client client("127.0.0.1", server_->port());
  std::vector<httplib::Result> answers;
  answers.push_back(client.Get("/"));
  answers.push_back(client.Get("/app.js"));
  answers.push_back(client.Get("/api/effects"));
  answers.push_back(client.Get("/no/such/page"));
  answers.push_back(post(client, "/api/apply/hat", "not a picture"));
  answers.push_back(post(client, "/api/apply/hat", expected("bmp").input));
  for (const auto &r : answers) {
    ASSERT_TRUE(r);
    EXPECT_NE(r->get_header_value("Content-Security-Policy").find("default-src 'self'"), std::string::npos);
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(r->get_header_value("Cache-Control"), "no-store");
  }
  EXPECT_NE(answers[0]->body.find("<script src=\"/app.js\""), std::string::npos);
  EXPECT_EQ(answers[0]->get_header_value("Content-Type"), "text/html; charset=utf-8");
}

TEST_F(Api, EffectsListThePluginTable) {
  const nlohmann::json info = get_json(server_->port(), "/api/effects");
  ASSERT_TRUE(info.contains("effects"));
  ASSERT_EQ(info["effects"].size(), std::size(kPlugins));
  for (size_t i = 0; i < std::size(kPlugins); ++i) EXPECT_EQ(info["effects"][i]["name"], kPlugins[i].command);
  EXPECT_EQ(info["max_upload_bytes"], 2'000'000);
}

TEST_F(Api, RefusalsAnswerInJsonAndTheServerGoesOn) {
  const int port = server_->port();
  httplib::Client client("127.0.0.1", port);
  struct Case {
    const char *what, *path;
    std::string body;
    int status;
  };
  const std::string portrait = expected("bmp").input;
  std::string truncated_png("\x89PNG\r\n\x1a\n", 8);
  const Case cases[] = {
      {"text", "/api/apply/sunglasses", "this is not a picture, only words", 400},
      {"empty body", "/api/apply/mustache", "", 400},
      {"unknown effect", "/api/apply/monocle", portrait, 404},
      {"path-like effect", "/api/apply/..%2F..%2Fetc%2Fpasswd", portrait, 404},
      {"unknown format", "/api/apply/hat?format=gif", portrait, 400},
      {"over the upload limit", "/api/apply/hat", std::string(2'000'001, 'B'), 413},
  };
  for (const Case &c : cases) {
    auto r = post(client, c.path, c.body);
    ASSERT_TRUE(r) << c.what;
    EXPECT_EQ(r->status, c.status) << c.what << ": " << r->body;
    EXPECT_EQ(r->get_header_value("Content-Type"), "application/json") << c.what;
    EXPECT_NE(error_of(r), "(no JSON error)") << c.what;
    expect_serving(port);
  }
  // A BMP whose pixels are missing: refused by whoever reads it, not a crash.
  auto r = post(client, "/api/apply/beard", portrait.substr(0, 200));
  ASSERT_TRUE(r);
  EXPECT_GE(r->status, 400);
  EXPECT_LT(r->status, 500) << r->body;
  expect_serving(port);
  EXPECT_EQ(server_->leftovers(), "");
}

TEST_F(Api, UploadLimitHoldsForChunkedBodies) {
  // No Content-Length to refuse up front: the limit is counted while reading.
  httplib::Client client("127.0.0.1", server_->port());
  const std::string piece(64 * 1024, 'x');
  size_t sent = 0;
  auto r = client.Post(
      "/api/apply/hat",
      [&](size_t, httplib::DataSink &sink) {
        if (sent >= 8'000'000) {
          sink.done();
          return true;
        }
        sent += piece.size();
        return sink.write(piece.data(), piece.size());
      },
      "application/octet-stream");
  if (r) {
    EXPECT_EQ(r->status, 413) << r->body;
  }
  expect_serving(server_->port());
  EXPECT_EQ(server_->leftovers(), "");
}

TEST(ApiLimits, PictureOverTheMegapixelLimitIs413) {
  ServerProcess server({"--max-megapixels", "0.1"}); // the portrait has 0.288
  ASSERT_TRUE(server.ok()) << server.output();
  if (!server_reads(server.port(), "png"))
    GTEST_SKIP() << "this build has no photo path (BMP only), which checks the megapixels";
  httplib::Client client("127.0.0.1", server.port());
  auto r = post(client, "/api/apply/hat", expected("bmp").input);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 413) << r->body;
  EXPECT_NE(error_of(r), "(no JSON error)");
  int status = 0;
  EXPECT_EQ(get_json(server.port(), "/healthz", &status).value("status", ""), "ok");
  EXPECT_EQ(status, 200);
}

TEST(ApiWorkers, ACallThatCrashesOrHangsFailsItsRequestOnly) {
  ServerProcess server({"--plugin-dir", TAVRIN_MISBEHAVING_DIR, "--timeout", "2", "--jobs", "1"});
  ASSERT_TRUE(server.ok()) << server.output();
  // The stand-in sunglasses: a red first pixel crashes it, a green one hangs
  // it. (Under AddressSanitizer the crash is an exit: "ended the process".)
  const auto picture = [](test::Rgb colour) {
    const std::vector<uint8_t> bmp = test::encode_bmp(test::make_picture(16, 16, colour));
    return std::string(bmp.begin(), bmp.end());
  };
  httplib::Client client("127.0.0.1", server.port());
  client.set_read_timeout(60, 0);
  struct Case {
    const char *what;
    test::Rgb colour;
    const char *says;
  };
  for (const Case &c : {Case{"crash", {255, 0, 0}, "the sunglasses plug-in"}, Case{"hang", {0, 255, 0}, "timed out"}}) {
    auto r = post(client, "/api/apply/sunglasses", picture(c.colour));
    ASSERT_TRUE(r) << c.what;
    EXPECT_EQ(r->status, 500) << c.what << ": " << r->body;
    EXPECT_NE(error_of(r).find(c.says), std::string::npos) << c.what << ": " << error_of(r);
    EXPECT_EQ(error_of(r).find(server.tmpdir()), std::string::npos) << "names the staging folder: " << error_of(r);
    const std::string grey = picture({128, 128, 128});
    auto after = post(client, "/api/apply/sunglasses", grey);
    ASSERT_TRUE(after) << c.what;
    EXPECT_EQ(after->status, 200) << c.what << ": " << after->body;
    EXPECT_EQ(after->get_header_value("X-Tavrin-Face"), "none");
  }
  // A plug-in missing from --plugin-dir is the server's fault, not the picture's.
  auto r = post(client, "/api/apply/hat", picture({128, 128, 128}));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 500) << r->body;
  EXPECT_EQ(server.stop(), 0) << server.output();
  EXPECT_EQ(server.leftovers(), "");
}

TEST(ApiQueue, FullQueueAnswers503WithRetryAfterAndRecovers) {
  // --jobs 1: one running and four waiting; the sixth is turned away.
  ServerProcess server({"--jobs", "1"});
  ASSERT_TRUE(server.ok()) << server.output();
  const int port = server.port();
  const std::string portrait = expected("bmp").input;
  const nlohmann::json health = get_json(port, "/healthz");
  const int capacity = health.value("capacity", 0);
  ASSERT_EQ(capacity, 5) << health.dump();

  std::vector<std::unique_ptr<RawConnection>> holders;
  for (int i = 0; i < capacity; ++i) {
    holders.push_back(std::make_unique<RawConnection>(port));
    ASSERT_TRUE(holders.back()->send(partial_request("mustache", portrait, 1000)));
  }
  ASSERT_TRUE(wait_for_active(port, capacity));

  httplib::Client client("127.0.0.1", port);
  auto r = post(client, "/api/apply/mustache", portrait);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 503);
  EXPECT_EQ(r->get_header_value("Retry-After"), "2");
  EXPECT_NE(error_of(r), "(no JSON error)");
  int status = 0;
  EXPECT_EQ(get_json(port, "/healthz", &status).value("status", ""), "busy");
  EXPECT_EQ(status, 503);

  // The held requests finish and are answered in full.
  for (auto &h : holders) ASSERT_TRUE(h->send(portrait.substr(1000)));
  for (auto &h : holders) {
    const std::string reply = h->receive_all();
    EXPECT_EQ(RawConnection::status_of(reply), 200) << reply.substr(0, 300);
    EXPECT_TRUE(reply.size() > portrait.size() &&
                reply.compare(reply.size() - expected("bmp").outputs.at("mustache").size(), std::string::npos,
                              expected("bmp").outputs.at("mustache")) == 0);
  }
  ASSERT_TRUE(wait_for_active(port, 0));
  expect_serving(port);
  EXPECT_EQ(server.stop(), 0) << server.output();
  EXPECT_EQ(server.leftovers(), "");
}

TEST(ApiLoad, TwoHundredRequestsFromSixteenClientsAreAllAnswered) {
  ServerProcess server({"--jobs", "2"});
  ASSERT_TRUE(server.ok()) << server.output();
  const Expected &e = expected("bmp");
  constexpr int kRequests = 200, kClients = 16;
  std::atomic<int> next{0}, ok{0}, busy{0}, wrong{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&] {
      httplib::Client client("127.0.0.1", server.port());
      client.set_read_timeout(120, 0);
      for (int i; (i = next.fetch_add(1)) < kRequests;) {
        const char *effect = kPlugins[i % std::size(kPlugins)].command;
        auto r = post(client, std::string("/api/apply/") + effect, e.input);
        if (r && r->status == 200 && r->body == e.outputs.at(effect))
          ++ok;
        else if (r && r->status == 503 && r->has_header("Retry-After"))
          ++busy;
        else
          ++wrong;
      }
    });
  }
  for (std::thread &t : clients) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(ok + busy, kRequests);
  EXPECT_GT(ok.load(), 0);
  std::printf("200: %d, 503: %d\n", ok.load(), busy.load());
  EXPECT_EQ(server.leftovers(), "");
  expect_serving(server.port());
  EXPECT_EQ(server.stop(), 0) << server.output();
  EXPECT_EQ(server.leftovers(), "");
}

TEST(ApiStop, SigtermLetsARunningRequestFinishAndLeavesNothing) {
  // The request is admitted, then the signal comes while its upload is under way.
  ServerProcess server;
  ASSERT_TRUE(server.ok()) << server.output();
  const std::string portrait = expected("bmp").input;
  RawConnection held(server.port());
  ASSERT_TRUE(held.send(partial_request("sunglasses", portrait, 5000)));
  ASSERT_TRUE(wait_for_active(server.port(), 1));
  server.signal(SIGTERM);
  // New work is turned away from now on...
  int status = 0;
  for (int i = 0; i < 250 && get_json(server.port(), "/healthz", &status).value("status", "") != "stopping"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(status, 503);
  httplib::Client client("127.0.0.1", server.port());
  auto refused = post(client, "/api/apply/hat", portrait);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  EXPECT_TRUE(refused->has_header("Retry-After"));
  // ... but the request under way gets its whole answer.
  ASSERT_TRUE(held.send(portrait.substr(5000)));
  const std::string reply = held.receive_all();
  const std::string &answer = expected("bmp").outputs.at("sunglasses");
  EXPECT_EQ(RawConnection::status_of(reply), 200) << reply.substr(0, 300);
  ASSERT_GT(reply.size(), answer.size());
  EXPECT_TRUE(reply.compare(reply.size() - answer.size(), answer.size(), answer) == 0);
  // Then it goes by itself.
  EXPECT_EQ(server.stop(), 0) << server.output();
  EXPECT_FALSE(RawConnection(server.port()).ok());
  EXPECT_EQ(server.leftovers(), "");
  EXPECT_TRUE(std::filesystem::is_empty(server.tmpdir()));
}

} // namespace
} // namespace tavrin
