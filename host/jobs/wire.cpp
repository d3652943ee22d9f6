#include "jobs/wire.h"

#include <cerrno>

#include <nlohmann/json.hpp>
#include <sys/socket.h>

namespace tavrin::jobs {

namespace {

using nlohmann::json;

std::vector<uint8_t> frame(const json &message) {
  std::vector<uint8_t> bytes(4);
  json::to_msgpack(message, bytes);
  const uint32_t n = static_cast<uint32_t>(bytes.size() - 4);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(n >> (8 * i));
  return bytes;
}

std::optional<json> unpack(const uint8_t *data, size_t size) {
  json message = json::from_msgpack(data, data + size, true, false);
  if (!message.is_object()) return std::nullopt;
  return message;
}

} // namespace

std::vector<uint8_t> frame_job(const photo::Job &job) {
  return frame({{"effect", job.effect},
                {"input", job.input},
                {"output", job.output},
                {"plugin_dir", job.plugin_dir},
                {"format", job.encode.format},
                {"quality", job.encode.quality},
                {"strip", job.encode.strip},
                {"max_pixels", job.limits.max_pixels},
                {"in_place", job.in_place}});
}

std::vector<uint8_t> frame_result(const photo::JobResult &r) {
  return frame({{"outcome", static_cast<int>(r.outcome)},
                {"face_found", r.face_found},
                {"plugin_status", r.plugin_status},
                {"plugin_stdout", r.plugin_stdout},
                {"plugin_stderr", r.plugin_stderr},
                {"error", r.error},
                {"error_kind", static_cast<int>(r.error_kind)},
                {"decode_ms", r.decode_ms},
                {"plugin_ms", r.plugin_ms},
                {"encode_ms", r.encode_ms},
                {"staging_ms", r.staging_ms},
                {"total_ms", r.total_ms}});
}

std::optional<photo::Job> parse_job(const uint8_t *data, size_t size) {
  try {
    const std::optional<json> m = unpack(data, size);
    if (!m) return std::nullopt;
    photo::Job job;
    job.effect = m->at("effect").get<std::string>();
    job.input = m->at("input").get<std::string>();
    job.output = m->at("output").get<std::string>();
    job.plugin_dir = m->at("plugin_dir").get<std::string>();
    job.encode.format = m->at("format").get<std::string>();
    job.encode.quality = m->at("quality").get<int>();
    job.encode.strip = m->at("strip").get<bool>();
    job.limits.max_pixels = m->at("max_pixels").get<uint64_t>();
    job.in_place = m->at("in_place").get<bool>();
    return job;
  } catch (const json::exception &) {
    return std::nullopt;
  }
}

std::optional<photo::JobResult> parse_result(const uint8_t *data, size_t size) {
  try {
    const std::optional<json> m = unpack(data, size);
    if (!m) return std::nullopt;
    photo::JobResult r;
    const int outcome = m->at("outcome").get<int>();
    if (outcome < 0 || outcome > static_cast<int>(photo::Outcome::not_loadable)) return std::nullopt;
    r.outcome = static_cast<photo::Outcome>(outcome);
    r.face_found = m->at("face_found").get<bool>();
    r.plugin_status = m->at("plugin_status").get<int32_t>();
    r.plugin_stdout = m->at("plugin_stdout").get<std::string>();
    r.plugin_stderr = m->at("plugin_stderr").get<std::string>();
    r.error = m->at("error").get<std::string>();
    const int kind = m->at("error_kind").get<int>();
    if (kind < 0 || kind > static_cast<int>(photo::ErrorKind::io_failed)) return std::nullopt;
    r.error_kind = static_cast<photo::ErrorKind>(kind);
    r.decode_ms = m->at("decode_ms").get<double>();
    r.plugin_ms = m->at("plugin_ms").get<double>();
    r.encode_ms = m->at("encode_ms").get<double>();
    r.staging_ms = m->at("staging_ms").get<double>();
    r.total_ms = m->at("total_ms").get<double>();
    return r;
  } catch (const json::exception &) {
    return std::nullopt;
  }
}

uint32_t frame_length(const uint8_t header[4]) {
  return static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
         static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
}

bool send_all(int fd, const uint8_t *data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

} // namespace tavrin::jobs
