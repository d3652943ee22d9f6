// Inputs that start the fuzzers and drive the hostile-file tests: small valid
// pictures in every layout the readers accept, and broken variants of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavrin::fuzz {

struct SeedFile {
  std::string name; // file-name safe, says what the bytes are
  std::vector<uint8_t> bytes;
};

// The same list on every call. Every file is at most a few kilobytes.
std::vector<SeedFile> make_seed_files();

// A small portrait-like picture: a skin-coloured oval with dark eyes and a
// mouth on a grey-blue background, as a bottom-up 24-bit file.
std::vector<uint8_t> make_face_file(int32_t width, int32_t height);

} // namespace tavrin::fuzz
