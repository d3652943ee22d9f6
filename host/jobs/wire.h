// What a pool and its worker processes say to each other over their socket:
// length-prefixed MessagePack messages, one Job down, one JobResult up.
// MessagePack, not JSON text, because paths are bytes and need not be UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "photo/job.h"

namespace tavrin::jobs {

// The worker finds its end of the socket here at start, then moves it to a
// high number out of the plug-in's way.
inline constexpr int kWorkerSocketFd = 3;

// Exit statuses of a worker that ends on purpose.
inline constexpr int kWorkerOutOfMemory = 86; // an allocation failed where nothing could catch it
inline constexpr int kWorkerBadSetup = 87;    // no socket, or a message it cannot read

// Longest message either side accepts; results carry no pictures.
inline constexpr uint32_t kMaxMessageBytes = 16u << 20;

// A message with its 4-byte little-endian length in front.
std::vector<uint8_t> frame_job(const photo::Job &job);
std::vector<uint8_t> frame_result(const photo::JobResult &result);

// The message without its length; nullopt when it is not one.
std::optional<photo::Job> parse_job(const uint8_t *data, size_t size);
std::optional<photo::JobResult> parse_result(const uint8_t *data, size_t size);

// The length a frame's first four bytes announce.
uint32_t frame_length(const uint8_t header[4]);

// Sends every byte (without SIGPIPE when the peer is gone). False on failure.
bool send_all(int fd, const uint8_t *data, size_t size);

} // namespace tavrin::jobs
