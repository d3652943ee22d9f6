// Pictures with a face that every plug-in finds, small enough that a call
// takes milliseconds (valgrind runs these tests too).
#pragma once

#include "demo/portrait.h"

namespace tavrin::test {

// The sample portrait shrunk by `divisor` (nearest pixel).
Picture shrunk_portrait(int divisor);

// `picture` mirrored left to right.
Picture mirrored(const Picture &picture);

// The part of `picture` from (x, y) on, `width` x `height` pixels.
Picture cropped(const Picture &picture, int x, int y, int width, int height);

} // namespace tavrin::test
