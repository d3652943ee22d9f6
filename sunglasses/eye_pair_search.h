// The eye-pair search as detect_eyes runs it: the same pair as the plain scan
// of every combination (search_eye_pair_plain, reference/plain_eye_search.h),
// found in a fraction of the time and memory.
//
// Window scores are computed only where a better pair is still possible:
// blocks of window positions get a lower bound on their scores, and blocks
// whose bound leaves no chance are never scored. Pairs are then tried with
// bounds on whole groups of combinations. Every bound holds for the doubles as
// computed, so a pair is skipped only when it cannot beat the best total, and
// among equal totals the first in the plain scan order wins, as there.
#pragma once

#include <cstddef>
#include <memory_resource>

#include "eye_detection.h"
#include "overlay_types.h"

namespace tavrin::sunglasses {

// Reads only the rows and columns of the picture that the windows of both
// passes can cover. Work memory comes from `memory` (an arena of the
// call's), else from a WorkArena of its own. Throws std::bad_alloc when
// memory runs out.
//
// The fine pass bounds blocks of windows first; once it has worked out the
// bounds of more than one in `exact_share` of a side's windows (0: never),
// it scores all of that side's windows instead, if they are at least
// `exact_height` rows tall: lower ones make tiles that are worked out whole,
// row by row already, and need no splitting, which is what scoring them all
// would save. The pair is the same either way; only the time differs.
struct FineScoring {
  size_t exact_share = 8;
  int32_t exact_height = 32;
};
EyePair search_eye_pair(const BmpImage &image, FaceRect face, std::pmr::memory_resource *memory = nullptr,
                        FineScoring scoring = {});

} // namespace tavrin::sunglasses
