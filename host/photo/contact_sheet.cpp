#include "photo/contact_sheet.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include <vips/vips8>

#include "photo/codec.h"
#include "photo/private_bmp.h"
#include "photo/sniff.h"
#include "photo/staging.h"

namespace tavrin::photo {

namespace {

using vips::VImage;

constexpr int kPanelHeight = 360;
constexpr int kLabelHeight = 48;
constexpr int kGap = 24;

// The panel's picture, upright, 8-bit sRGB, at the sheet's height.
bool load_panel(const SheetPanel &panel, const Limits &limits, VImage &out, std::string &why) {
  jobs::UniqueFd fd(open(panel.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    why = panel.path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  uint8_t head[32];
  const ssize_t n = pread(fd.get(), head, sizeof head, 0);
  const char *type = n > 0 ? picture_type(head, static_cast<size_t>(n)) : nullptr;
  RgbPixels pixels;
  bool ok;
  if (type != nullptr && std::strcmp(type, "bmp") == 0) {
    ok = read_bmp24(fd.get(), pixels, why);
  } else {
    DecodedPhoto decoded;
    ErrorKind kind = ErrorKind::none;
    ok = decode(fd.get(), limits, type, decoded, kind, why) &&
         decode_pixels(decoded, pixels, why);
  }
  VipsImage *image = ok ? vips_image_new_from_memory_copy(pixels.data.get(), pixels.size(), pixels.width,
                                                          pixels.height, 3, VIPS_FORMAT_UCHAR)
                        : nullptr;
  if (image == nullptr) {
    why = panel.path + ": " + (ok ? "cannot read the picture" : why);
    return false;
  }
  const VImage full(image);
  out = full.thumbnail_image(100000, VImage::option()->set("height", kPanelHeight)->set("size", VIPS_SIZE_BOTH))
            .cast(VIPS_FORMAT_UCHAR);
  return true;
}

// Dark text centred on white, `width` wide.
VImage label_strip(const std::string &text, int width) {
  VImage ink = VImage::text(text.c_str(), VImage::option()->set("font", "sans 20")->set("dpi", 72));
  VImage grey = (ink * -1 + 255).cast(VIPS_FORMAT_UCHAR);
  const int x = std::max(0, (width - grey.width()) / 2);
  const int y = std::max(0, (kLabelHeight - grey.height()) / 2);
  grey = grey.embed(x, y, std::max(width, grey.width()), kLabelHeight,
                    VImage::option()->set("extend", VIPS_EXTEND_WHITE));
  return grey.bandjoin(grey).bandjoin(grey);
}

} // namespace

bool write_contact_sheet(const std::vector<SheetPanel> &panels, const std::string &output,
                         const EncodeOptions &encode_options, const Limits &limits, std::string &why) {
  if (!codec_ready(why)) return false;
  const std::string format = format_for(encode_options.format.empty() ? output : encode_options.format);
  if (format.empty()) {
    why = output + ": cannot tell the format from the name (add --format EXT)";
    return false;
  }
  try {
    std::vector<VImage> columns;
    for (const SheetPanel &panel : panels) {
      VImage picture;
      if (!load_panel(panel, limits, picture, why)) return false;
      const VImage label = label_strip(panel.label, picture.width());
      columns.push_back(picture.join(label, VIPS_DIRECTION_VERTICAL,
                                     VImage::option()
                                         ->set("expand", true)
                                         ->set("shim", 4)
                                         ->set("background", std::vector<double>{255})
                                         ->set("align", VIPS_ALIGN_CENTRE)));
    }
    VImage sheet = VImage::arrayjoin(columns, VImage::option()
                                                  ->set("shim", kGap)
                                                  ->set("background", std::vector<double>{255})
                                                  ->set("valign", VIPS_ALIGN_LOW));
    sheet = sheet.embed(kGap, kGap, sheet.width() + 2 * kGap, sheet.height() + 2 * kGap,
                        VImage::option()->set("extend", VIPS_EXTEND_WHITE))
                .copy_memory();
    RgbPixels pixels;
    pixels.width = sheet.width();
    pixels.height = sheet.height();
    pixels.data.reset(new uint8_t[pixels.size()]);
    std::memcpy(pixels.data.get(), sheet.data(), pixels.size());

    StagedOutputFile staged;
    const bool ok = staged.open(output, why) &&
                    (format == "bmp" ? write_bmp24(staged.fd(), pixels.view(), why)
                                     : encode(pixels.view(), nullptr, format, encode_options, staged.fd(), why)) &&
                    staged.commit(why);
    if (!ok) why = output + ": " + why;
    return ok;
  } catch (const vips::VError &e) {
    std::string what = e.what();
    std::replace(what.begin(), what.end(), '\n', ' ');
    why = output + ": cannot make the sheet: " + what;
    vips_error_clear();
    return false;
  }
}

} // namespace tavrin::photo
