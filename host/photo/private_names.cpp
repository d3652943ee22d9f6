#include "photo/private_names.h"

namespace tavrin::photo {

namespace {

// "/proc/self/fd/19" must not match inside "/proc/self/fd/190": replace
// only where no digit follows.
void replace_path(std::string &text, const std::string &from, const std::string &to) {
  if (from.empty()) return;
  for (size_t at = text.find(from); at != std::string::npos;) {
    const size_t end = at + from.size();
    if (end < text.size() && text[end] >= '0' && text[end] <= '9') {
      at = text.find(from, end);
      continue;
    }
    text.replace(at, from.size(), to);
    at = text.find(from, at + to.size());
  }
}

} // namespace

std::string with_user_names(std::string text, const std::string &input, const std::string &output,
                            const std::string &input_path, const std::string &output_path) {
  replace_path(text, "/proc/self/fd/" + std::to_string(kPluginInputFd), input);
  replace_path(text, "/proc/self/fd/" + std::to_string(kPluginOutputFd), output);
  replace_path(text, input_path, input);
  replace_path(text, output_path, output);
  return text;
}

} // namespace tavrin::photo
