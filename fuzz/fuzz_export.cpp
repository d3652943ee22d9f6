// libFuzzer target for one plug-in (TAVRIN_FUZZ_SYMBOL names its export): the
// fuzzer's bytes become the input file of the real export, called in-process,
// and the call must keep the contract of export_contract.h.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "export_contract.h"
#include "tavrin/overlay.h"

namespace {

std::string g_dir, g_input, g_output;
std::u16string g_input16, g_output16;
int g_report_fd = 2; // stderr as it was before libFuzzer could close it

// The temp folder's path is plain ASCII, so widening byte by byte is exact.
std::u16string widen(const std::string &s) { return std::u16string(s.begin(), s.end()); }

void remove_temp_dir() {
  std::error_code ec;
  std::filesystem::remove_all(g_dir, ec);
}

[[noreturn]] void fail(const std::string &why) {
  dprintf(g_report_fd, "\n*** %s broke its contract: %s\n", TAVRIN_FUZZ_NAME, why.c_str());
  std::abort();
}

bool write_all(const std::string &path, const uint8_t *data, size_t size) {
  std::FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

bool read_all(const std::string &path, std::vector<uint8_t> &bytes) {
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes.clear();
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);
  return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_report_fd = dup(2);
  if (g_report_fd < 0) g_report_fd = 2;
  std::string pattern = (std::filesystem::temp_directory_path() / "tavrin-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  g_dir = pattern;
  g_input = g_dir + "/in.bmp";
  g_output = g_dir + "/out.bmp";
  g_input16 = widen(g_input);
  g_output16 = widen(g_output);
  std::atexit(remove_temp_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!write_all(g_input, data, size)) fail("cannot write the input file " + g_input);
  std::remove(g_output.c_str());

  tavrin::fuzz::ExportOutcome outcome;
  outcome.status = TAVRIN_FUZZ_SYMBOL(g_input16.c_str(), g_output16.c_str());
  outcome.output_exists = read_all(g_output, outcome.output);

  const tavrin::fuzz::ReaderRules rules{TAVRIN_FUZZ_ACCEPTS_32BIT != 0, TAVRIN_FUZZ_LAST_PADDING_OPTIONAL != 0};
  std::string why = tavrin::fuzz::check_export_outcome(data, size, rules, outcome);
  if (!why.empty()) fail(why);
  return 0;
}
