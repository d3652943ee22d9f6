// The paths by which the photo path hands a plug-in its pictures, and how
// the plug-in's console lines get the user's names back.
#pragma once

#include <string>

namespace tavrin::photo {

// The descriptors the plug-in's input and output sit on while it runs, so
// its lines name them the same way in every process (a worker's parent puts
// the user's names back without asking the worker).
inline constexpr int kPluginInputFd = 190;
inline constexpr int kPluginOutputFd = 191;

// `text` with the private paths `input_path` and `output_path` (and the two
// fixed descriptor paths) replaced by the user's `input` and `output`.
std::string with_user_names(std::string text, const std::string &input, const std::string &output,
                            const std::string &input_path = {}, const std::string &output_path = {});

} // namespace tavrin::photo
