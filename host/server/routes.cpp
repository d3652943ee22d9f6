#include "server/routes.h"

#include <algorithm>
#include <fcntl.h>
#include <memory>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "photo/sniff.h"
#include "plugins/registry.h"
#include "server/picture_format.h"
#include "server/web_assets.h"

namespace tavrin::server {

namespace {

using httplib::ContentReader;
using httplib::Request;
using httplib::Response;
using nlohmann::json;

// Past the upload limit the rest of a body is still read, and dropped, up to
// this much more: a client still sending then reads our answer instead of
// a connection reset.
constexpr uint64_t kDrainBytes = 16u << 20;

std::string dump(const json &j) {
  // Plug-in lines and file names need not be UTF-8; never throw on them.
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

void answer_json(Response &res, int status, const json &body) {
  res.status = status;
  res.set_content(dump(body), "application/json");
}

void answer_error(Response &res, int status, const std::string &message, json extra = json::object()) {
  extra["error"] = message;
  answer_json(res, status, extra);
  if (status == 503) res.set_header("Retry-After", std::to_string(kRetryAfterSeconds));
}

// Bytes as MB, pixels as megapixels: "50", "0.1".
std::string millions(uint64_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", static_cast<double>(n) / 1e6);
  return text;
}

std::string over_upload_limit(uint64_t limit) { return "the upload is larger than " + millions(limit) + " MB"; }

std::string join(std::span<const char *const> names) {
  std::string out;
  for (const char *n : names) out += (out.empty() ? "" : ", ") + std::string(n);
  return out;
}

// What came of reading a request body.
struct Received {
  uint64_t size = 0;
  std::string head;        // the first kSniffBytes
  bool complete = false;   // the whole body was read
  bool over_limit = false;
  bool write_failed = false;
};

// Reads the body into `file` (or drops it, without one), never keeping more
// than `limit` bytes.
Received receive(const ContentReader &reader, Response &res, uint64_t limit, UploadFile *file) {
  Received r;
  const bool read = reader([&](const char *data, size_t n) {
    if (r.head.size() < kSniffBytes) r.head.append(data, std::min(n, kSniffBytes - r.head.size()));
    r.size += n;
    if (r.size > limit) {
      r.over_limit = true;
      return r.size <= limit + kDrainBytes;
    }
    if (file != nullptr && !r.write_failed && !file->write(data, n)) r.write_failed = true;
    return true;
  });
  // httplib refuses a Content-Length over the limit itself, with 413.
  if (!read && res.status == 413) r.over_limit = true;
  r.complete = read && !r.over_limit;
  return r;
}

// Answers without keeping the body; a body not read to its end ends the
// connection, since its rest would be taken for the next request.
void refuse(const ContentReader &reader, Response &res, uint64_t limit, int status,
            const std::string &message) {
  const Received r = receive(reader, res, limit, nullptr);
  answer_error(res, status, message);
  if (!r.complete) res.set_header("Connection", "close");
}

// Plug-in lines and errors name files in the request's folder (the pool's
// own staging folder inside it included); the client knows them as
// "upload" and "result.EXT".
std::string scrub(std::string text, const std::string &folder) {
  const std::string prefix = folder + "/";
  for (size_t at; (at = text.find(prefix)) != std::string::npos;) text.erase(at, prefix.size());
  static const std::regex staging(R"(\.tavrin-[0-9]+-[0-9]+/)");
  return std::regex_replace(text, staging, "");
}

std::string default_message(const photo::JobResult &r, const Service &s) {
  using photo::ErrorKind;
  if (r.outcome == photo::Outcome::not_loadable) return "the plug-in cannot be loaded";
  if (r.cancelled) return "the server is stopping";
  switch (r.error_kind) {
  case ErrorKind::too_large:
    return "the picture has more than " + millions(s.limits.max_pixels) + " megapixels";
  case ErrorKind::plugin_failed: return "the effect failed on this picture";
  case ErrorKind::crashed: return "the effect crashed on this picture";
  case ErrorKind::timed_out: return "the effect took longer than the time allowed";
  case ErrorKind::io_failed: return "the result could not be stored";
  case ErrorKind::none:
  case ErrorKind::not_a_picture: break;
  }
  return "not a picture this server reads";
}

// The result, open, its folder already gone: nothing of the request is on
// disk while the answer is sent. The file and the request's place in the
// queue go with the response, once sent (or the client has left); so a stop
// waits for answers still being sent, which httplib would cut short.
struct OpenResult {
  explicit OpenResult(Admission::Ticket t) : ticket(std::move(t)) {}
  ~OpenResult() {
    if (fd >= 0) ::close(fd);
  }
  Admission::Ticket ticket;
  int fd = -1;
};

bool send_file(Response &res, RequestFolder &folder, const std::string &path, std::string_view format,
               Admission::Ticket ticket) {
  auto result = std::make_shared<OpenResult>(std::move(ticket));
  result->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  folder.remove();
  struct stat st {};
  if (result->fd < 0 || fstat(result->fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  res.set_content_provider(
      static_cast<size_t>(st.st_size), content_type(format),
      [result](size_t offset, size_t length, httplib::DataSink &sink) {
        char buffer[64 * 1024];
        const ssize_t n = ::pread(result->fd, buffer, std::min(length, sizeof buffer), static_cast<off_t>(offset));
        return n > 0 && sink.write(buffer, static_cast<size_t>(n));
      });
  return true;
}

void apply(Service &s, const Request &req, Response &res, const ContentReader &reader) {
  const uint64_t limit = s.max_upload_bytes;
  const PluginInfo *plugin = find_plugin(req.matches[1].str());
  if (plugin == nullptr) return refuse(reader, res, limit, 404, "no such effect; GET /api/effects lists them");
  std::string_view format;
  if (req.has_param("format")) {
    format = format_from_name(req.get_param_value("format"));
    if (format.empty() || !writes(format))
      return refuse(reader, res, limit, 400, "format must be one of: " + join(writable_formats()));
  }
  if (s.stopping) return refuse(reader, res, limit, 503, "the server is stopping");
  Admission::Ticket ticket = s.admission.enter();
  if (!ticket) return refuse(reader, res, limit, 503, "busy: every place in the queue is taken");

  // Gone on every way out of here, before the answer is sent.
  RequestFolder folder(s.uploads);
  UploadFile file;
  const std::string input = folder.ok() ? folder.file("upload") : std::string();
  if (!folder.ok() || !file.open(input))
    return refuse(reader, res, limit, 500, "cannot stage the upload");
  const Received got = receive(reader, res, limit, &file);
  const bool stored = file.close() && !got.write_failed;
  if (got.over_limit) {
    answer_error(res, 413, over_upload_limit(limit));
    return res.set_header("Connection", "close");
  }
  if (got.size == 0) return answer_error(res, 400, "no picture: send it as the request body");
  if (!got.complete) return answer_error(res, 400, "the upload was cut short");
  if (!stored) return answer_error(res, 500, "cannot stage the upload");
  const char *sniffed = photo::picture_type(reinterpret_cast<const uint8_t *>(got.head.data()), got.head.size());
  if (sniffed == nullptr) return answer_error(res, 400, "not a picture");
  const std::string_view in_format = sniffed;
  if (!reads(in_format))
    return answer_error(res, 400, std::string(in_format) + " is not read here; send one of: " +
                                      join(readable_formats()));
  if (format.empty()) format = writes(in_format) ? in_format : std::string_view(writable_formats()[0]);

  photo::Job job;
  job.effect = plugin->command;
  job.input = input;
  job.output = folder.file(("result." + std::string(format)).c_str());
  job.plugin_dir = s.plugin_dir;
  job.encode.format = format;
  job.limits = s.limits;
  const photo::JobResult r = s.run_job(job);

  const std::string out = scrub(r.plugin_stdout, folder.path());
  const std::string err = scrub(r.plugin_stderr, folder.path());
  const int status = http_status(r);
  if (status != 200) {
    const std::string message = r.error.empty() ? default_message(r, s) : scrub(r.error, folder.path());
    return answer_error(res, status, message, {{"stdout", out}, {"stderr", err}});
  }
  if (!send_file(res, folder, job.output, format, std::move(ticket)))
    return answer_error(res, 500, "the result could not be read back");
  res.set_header("X-Tavrin-Effect", plugin->command);
  res.set_header("X-Tavrin-Face", r.face_found ? "found" : "none");
  res.set_header("X-Tavrin-Stdout", percent_encode(out));
  res.set_header("X-Tavrin-Stderr", percent_encode(err));
  res.set_header("Content-Disposition",
                 "inline; filename=\"" + std::string(plugin->command) + "." + std::string(format) + "\"");
}

json effects_json(const Service &s) {
  json effects = json::array();
  for (const PluginInfo &p : kPlugins)
    effects.push_back({{"name", p.command}, {"url", std::string("/api/apply/") + p.command}});
  json reads_list = json::array(), writes_list = json::array();
  for (const char *f : readable_formats()) reads_list.push_back(f);
  for (const char *f : writable_formats()) writes_list.push_back(f);
  return {{"effects", effects},
          {"reads", reads_list},
          {"writes", writes_list},
          {"max_upload_bytes", s.max_upload_bytes},
          {"max_megapixels", static_cast<double>(s.limits.max_pixels) / 1e6}};
}

void health(const Service &s, Response &res) {
  const int active = s.admission.active(), capacity = s.admission.capacity();
  const char *state = s.stopping ? "stopping" : active >= capacity ? "busy" : "ok";
  answer_json(res, state[0] == 'o' ? 200 : 503,
              {{"status", state}, {"active", active}, {"capacity", capacity}});
  if (res.status == 503) res.set_header("Retry-After", std::to_string(kRetryAfterSeconds));
}

} // namespace

int http_status(const photo::JobResult &r) {
  using photo::ErrorKind;
  if (r.outcome == photo::Outcome::written) return 200;
  if (r.outcome == photo::Outcome::not_loadable) return 500;
  if (r.cancelled) return 503;
  switch (r.error_kind) {
  case ErrorKind::too_large: return 413;
  case ErrorKind::plugin_failed: return 422;
  case ErrorKind::crashed:
  case ErrorKind::timed_out:
  case ErrorKind::io_failed: return 500;
  // The stand-in photo path says nothing: its plug-in, the only reader, refused the input.
  case ErrorKind::none:
  case ErrorKind::not_a_picture: break;
  }
  return 400;
}

std::string percent_encode(const std::string &text, size_t max_bytes) {
  size_t end = std::min(text.size(), max_bytes);
  // Never cut a UTF-8 sequence in two.
  while (end < text.size() && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isalnum(c) || std::string_view("-_.!~*'()").find(static_cast<char>(c)) != std::string_view::npos) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

void add_routes(httplib::Server &http, Service &s) {
  for (const WebFile &f : web_files()) {
    const std::string path = f.path == "/index.html" ? "/" : std::string(f.path);
    http.Get(path, [&f](const Request &, Response &res) {
      res.set_content(f.body.data(), f.body.size(), std::string(f.content_type).c_str());
    });
  }
  http.Get("/api/effects", [&s](const Request &, Response &res) { answer_json(res, 200, effects_json(s)); });
  http.Get("/healthz", [&s](const Request &, Response &res) { health(s, res); });
  http.Post(R"(/api/apply/([^/]+))", [&s](const Request &req, Response &res, const ContentReader &reader) {
    apply(s, req, res, reader);
  });
  // Every other body is refused here, read no further than the upload limit
  // (httplib would otherwise keep a chunked body whole, however long).
  const auto nothing_here = [&s](const Request &, Response &res, const ContentReader &reader) {
    refuse(reader, res, s.max_upload_bytes, 404, "nothing here takes a body");
  };
  http.Post(".*", nothing_here);
  http.Put(".*", nothing_here);
  http.Patch(".*", nothing_here);
  http.Delete(".*", nothing_here);

  // A client that announces its body (Expect: 100-continue, as curl does for
  // large ones) learns of a refusal before sending it.
  http.set_expect_100_continue_handler([&s](const Request &req, Response &res) {
    if (req.path.rfind("/api/apply/", 0) != 0) return 100;
    if (req.get_header_value<uint64_t>("Content-Length") > s.max_upload_bytes) {
      answer_error(res, 413, over_upload_limit(s.max_upload_bytes));
    } else if (s.stopping || s.admission.active() >= s.admission.capacity()) {
      answer_error(res, 503, s.stopping ? "the server is stopping" : "busy: every place in the queue is taken");
    } else {
      return 100;
    }
    res.set_header("Connection", "close");
    return res.status;
  });
}

} // namespace tavrin::server
