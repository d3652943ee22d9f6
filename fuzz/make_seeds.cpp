// Writes the seed corpus into a folder: make_seeds DIR
#include <cstdio>
#include <filesystem>
#include <string>

#include "seed_pictures.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(argv[1], ec);
  for (const tavrin::fuzz::SeedFile &seed : tavrin::fuzz::make_seed_files()) {
    const std::string path = std::string(argv[1]) + "/" + seed.name;
    std::FILE *f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr &&
              std::fwrite(seed.bytes.data(), 1, seed.bytes.size(), f) == seed.bytes.size();
    if (f != nullptr && std::fclose(f) != 0) ok = false;
    if (!ok) {
      std::fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
