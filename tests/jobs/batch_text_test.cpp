// What the batch prints: the progress line's numbers, and no control
// character from a plug-in's line or a file name reaching the terminal.
#include <gtest/gtest.h>

#include "cli/progress_line.h"

namespace tavrin::cli {
namespace {

TEST(ProgressText, RateTimeLeftAndFailures) {
  EXPECT_EQ(progress_text({0, 120, 0, 0}), "0/120 done, 0.0 files/s, --:-- left, 0 failed");
  EXPECT_EQ(progress_text({30, 120, 2, 10}), "30/120 done, 3.0 files/s, 0:30 left, 2 failed");
  EXPECT_EQ(progress_text({1, 10000, 0, 2}), "1/10000 done, 0.5 files/s, 5:33:18 left, 0 failed");
}

TEST(Printable, ControlCharactersBecomeQuestionMarks) {
  EXPECT_EQ(printable("Loading \x1b[31mred\x1b[0m.bmp\r\n\tok\x7f"), "Loading ?[31mred?[0m.bmp?\n\tok?");
  EXPECT_EQ(printable("caf\xC3\xA9 \xC2\x9B" "2J"), "caf\xC3\xA9 ?2J"); // UTF-8 kept, C1 CSI not
}

} // namespace
} // namespace tavrin::cli
