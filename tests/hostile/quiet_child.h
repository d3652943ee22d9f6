// Runs a piece of a test in a child process whose console goes to a file, for
// work that calls plug-ins in-process (they print on every call).
#pragma once

#include <functional>
#include <string>

namespace tavrin::test {

// Returns what `body` returned in the child (empty for success), or why the
// child did not get that far, with the end of its console.
std::string run_quietly(const std::function<std::string()> &body);

} // namespace tavrin::test
