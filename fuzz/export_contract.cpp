#include "export_contract.h"

#include <cstdlib>

#include "le_bytes.h"

namespace tavrin::fuzz {

namespace {

// Row length on disk, padded to 4 bytes, in 64 bits so no header can wrap it.
int64_t stride_of(int64_t width, int64_t bytes_per_pixel) {
  return (width * bytes_per_pixel + 3) / 4 * 4;
}

std::string check_written_file(const std::vector<uint8_t> &out, int32_t width, int64_t rows) {
  if (out.size() < 54) return "output shorter than its 54-byte header";
  const uint8_t *h = out.data();
  if (h[0] != 'B' || h[1] != 'M') return "output lacks the BM signature";
  if (get_le32(h + 10) != 54) return "output pixel offset is not 54";
  if (get_le32(h + 14) != 40) return "output info header size is not 40";
  if (get_le16(h + 26) != 1) return "output planes is not 1";
  if (get_le16(h + 28) != 24) return "output is not 24 bits per pixel";
  if (get_le32(h + 30) != 0) return "output is compressed";
  if (get_le32s(h + 18) != width)
    return "output width " + std::to_string(get_le32s(h + 18)) + " differs from the input's " +
           std::to_string(width);
  if (get_le32s(h + 22) != rows)
    return "output height " + std::to_string(get_le32s(h + 22)) + " differs from the input's " +
           std::to_string(rows) + " rows (or is not bottom-up)";
  const int64_t expected = 54 + stride_of(width, 3) * rows;
  if (static_cast<int64_t>(out.size()) != expected)
    return "output is " + std::to_string(out.size()) + " bytes, its header promises " +
           std::to_string(expected);
  if (get_le32(h + 2) != out.size()) return "output file-size field differs from its length";
  return {};
}

} // namespace

std::string check_export_outcome(const uint8_t *input, size_t input_size, const ReaderRules &rules,
                                 const ExportOutcome &outcome) {
  if (outcome.status == 1)
    return outcome.output_exists ? "status 1, yet an output file was written" : std::string();
  if (outcome.status != 999) return "status " + std::to_string(outcome.status) + " is neither 999 nor 1";
  if (!outcome.output_exists) return "status 999 without an output file";

  // Success: the input must have been acceptable.
  if (input_size < 34) return "status 999 for an input of only " + std::to_string(input_size) + " bytes";
  if (input[0] != 'B' || input[1] != 'M') return "status 999 for an input without BM";
  const uint16_t bits = get_le16(input + 28);
  if (bits != 24 && !(rules.accepts_32bit && bits == 32))
    return "status 999 for a " + std::to_string(bits) + "-bit input";
  if (get_le32(input + 30) != 0) return "status 999 for a compressed input";
  const int32_t width = get_le32s(input + 18);
  const int64_t height = get_le32s(input + 22);
  const int64_t rows = std::llabs(height);
  if (width <= 0 || rows == 0) return "status 999 for a picture without pixels";
  const int64_t pixel_offset = get_le32(input + 10);
  const int64_t stride = stride_of(width, bits / 8);
  int64_t needed = pixel_offset + stride * rows;
  if (rules.last_padding_optional) needed -= stride - int64_t{width} * (bits / 8);
  if (static_cast<int64_t>(input_size) < needed)
    return "status 999 for an input of " + std::to_string(input_size) +
           " bytes whose rows need " + std::to_string(needed);
  return check_written_file(outcome.output, width, rows);
}

} // namespace tavrin::fuzz
