// A contact sheet: pictures side by side at one height, each with its name
// under it, so a person can look at what the effects did.
#pragma once

#include <string>
#include <vector>

#include "photo/job.h"

namespace tavrin::photo {

struct SheetPanel {
  std::string label;
  std::string path; // any picture the photo path reads, BMP included
};

// Writes the sheet to `output` (staged like every output, in the format of
// its extension or `encode.format`). False, with a one-line reason naming the
// file at fault, on failure.
bool write_contact_sheet(const std::vector<SheetPanel> &panels, const std::string &output,
                         const EncodeOptions &encode, const Limits &limits, std::string &why);

} // namespace tavrin::photo
