// What every export promises about one call, checked from the outside: the
// input bytes, the status, and the output file the call left behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavrin::fuzz {

struct ExportOutcome {
  int32_t status = 0;
  bool output_exists = false;
  std::vector<uint8_t> output; // the output file's bytes, when it exists
};

// What a reader may accept beyond an uncompressed 24-bit file with every row.
struct ReaderRules {
  bool accepts_32bit = false;         // the hat's reader
  bool last_padding_optional = false; // a file may end after the last row's pixels
};

// Empty when the call kept the contract, otherwise what it broke:
// - the status is 999 or 1;
// - 1 leaves no output file (the output path is writable, so only a refused
//   input can fail);
// - 999 needs an input the reader may accept ("BM", 24 bits or what `rules`
//   allow, no compression) that holds every pixel row it promises, and leaves
//   a well-formed bottom-up 24-bit bitmap of the input's width and row count.
std::string check_export_outcome(const uint8_t *input, size_t input_size, const ReaderRules &rules,
                                 const ExportOutcome &outcome);

} // namespace tavrin::fuzz
