#include "photo/codec.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include <dlfcn.h>
#include <gmodule.h>
#include <vips/vips8>

namespace tavrin::photo {

using vips::VImage;
using vips::VError;

struct DecodedPhoto::Parts {
  VImage rgb;   // 3-band uchar, upright, on white; decoded when its pixels are asked for
  VImage alpha; // 1-band uchar in memory, or empty
  bool has_alpha = false;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> blobs; // ICC, EXIF, XMP, IPTC
  double xres = 0, yres = 0;
};

DecodedPhoto::DecodedPhoto() = default;
DecodedPhoto::~DecodedPhoto() = default;
DecodedPhoto::DecodedPhoto(DecodedPhoto &&) noexcept = default;
DecodedPhoto &DecodedPhoto::operator=(DecodedPhoto &&) noexcept = default;
int32_t DecodedPhoto::width() const { return parts ? parts->rgb.width() : 0; }
int32_t DecodedPhoto::height() const { return parts ? parts->rgb.height() : 0; }

namespace {

// libvips' messages, one line, without the trailing newline.
std::string vips_message(const char *fallback) {
  std::string text = vips_error_buffer();
  vips_error_clear();
  std::replace(text.begin(), text.end(), '\n', ' ');
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text.empty() ? fallback : text;
}

// Colour spaces whose ICC profile still describes the pixels after the
// conversion to 8-bit sRGB.
bool rgb_like(VipsInterpretation i) {
  return i == VIPS_INTERPRETATION_sRGB || i == VIPS_INTERPRETATION_RGB16 || i == VIPS_INTERPRETATION_RGB;
}

const char *const kKeptBlobs[] = {"exif-data", "xmp-data", "iptc-data"};

// libvips loads every module in its module folder as it starts:
// ImageMagick's, poppler's, OpenSlide's, JPEG XL's, HEIF's, with all their
// libraries, about 33 ms of CPU time in every process here. Of them only
// the HEIF module adds formats this program reads or writes. So libvips is
// given a home under /proc/self, where no module folder exists or can be
// made, and the HEIF module is loaded from libvips' own folder by hand the
// first time a HEIC or AVIF picture is read or written.
constexpr const char kNoModulesHome[] = "/proc/self/tavrin-no-vips-modules";

bool own_module_choice() {
  const char *home = std::getenv("VIPSHOME");
  return home != nullptr && std::strcmp(home, kNoModulesHome) == 0;
}

// Only the loaders of the formats named in --help, none libvips calls
// untrusted; again whenever a module brings loaders.
void block_loaders() {
  vips_block_untrusted_set(TRUE);
  vips_operation_block_set("VipsForeignLoad", TRUE);
  for (const char *allowed : {"VipsForeignLoadJpeg", "VipsForeignLoadPng", "VipsForeignLoadWebp",
                              "VipsForeignLoadTiff", "VipsForeignLoadHeif"})
    vips_operation_block_set(allowed, FALSE);
}

// From where libvips itself lies, as libvips finds its modules when it is
// where it was installed: <libdir>/vips-modules-MAJOR.MINOR. Without the
// module HEIC and AVIF are not read or written, as with a libvips built
// without them.
void need_heif() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!own_module_choice()) return;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&vips_version), &info) == 0 || info.dli_fname == nullptr) return;
    std::string path = info.dli_fname;
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return;
    path.resize(slash + 1);
    path += "vips-modules-" + std::to_string(vips_version(0)) + "." + std::to_string(vips_version(1)) + "/vips-heif.so";
    GModule *module = g_module_open(path.c_str(), G_MODULE_BIND_LAZY);
    if (module == nullptr) return;
    g_module_make_resident(module);
    block_loaders();
  });
}

bool is_heif(const char *type) { return type != nullptr && (std::strcmp(type, "heic") == 0 || std::strcmp(type, "avif") == 0); }

} // namespace

void skip_unused_codec_modules() {
  if (std::getenv("VIPSHOME") == nullptr) setenv("VIPSHOME", kNoModulesHome, 1);
}

bool codec_ready(std::string &why) {
  static std::once_flag once;
  static bool ready = false;
  static std::string reason;
  std::call_once(once, [] {
    if (VIPS_INIT("tavrin") != 0) {
      reason = "cannot start the picture library: " + vips_message("unknown error");
      return;
    }
    block_loaders();
    vips_cache_set_max(0);
    // What went wrong reaches the user as one line through the result; the
    // library's own warnings would add half-sentences around it.
    g_log_set_handler("VIPS", static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
                      [](const gchar *, GLogLevelFlags, const gchar *, gpointer) {}, nullptr);
    ready = true;
  });
  if (!ready) why = reason;
  return ready;
}

bool decode(int fd, const Limits &limits, const char *type, DecodedPhoto &out, ErrorKind &kind, std::string &why) {
  kind = ErrorKind::not_a_picture;
  if (!codec_ready(why)) return false;
  if (is_heif(type)) need_heif();
  const bool strict = type != nullptr && std::strcmp(type, "jpg") == 0;
  try {
    vips::VSource source = vips::VSource::new_from_descriptor(fd);
    // libjpeg reports damaged data only as warnings; a damaged JPEG is refused.
    const VipsFailOn fail_on = strict ? VIPS_FAIL_ON_WARNING : VIPS_FAIL_ON_ERROR;
    VImage image = VImage::new_from_source(
        source, "", VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)->set("fail_on", fail_on));
    const uint64_t pixels = static_cast<uint64_t>(image.width()) * static_cast<uint64_t>(image.height());
    if (pixels > limits.max_pixels) {
      kind = ErrorKind::too_large;
      char text[160];
      std::snprintf(text, sizeof text, "%d x %d is %.1f megapixels, more than the %.1f allowed (--max-megapixels)",
                    image.width(), image.height(), static_cast<double>(pixels) / 1e6,
                    static_cast<double>(limits.max_pixels) / 1e6);
      why = text;
      return false;
    }
    auto parts = std::make_unique<DecodedPhoto::Parts>();
    const VipsInterpretation from = image.interpretation();
    const bool keep_icc = rgb_like(from) && image.bands() >= 3;

    if (image.bands() > 4 && from != VIPS_INTERPRETATION_CMYK) image = image.extract_band(0, VImage::option()->set("n", 3));
    if (from != VIPS_INTERPRETATION_sRGB || image.format() != VIPS_FORMAT_UCHAR)
      image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);

    // Turning and splitting off the alpha need the whole picture: those are
    // decoded here, into memory. The rest streams into the plug-in's BMP.
    int orientation = 1;
    if (image.get_typeof(VIPS_META_ORIENTATION) != 0) orientation = image.get_int(VIPS_META_ORIENTATION);
    if (orientation != 1 || image.bands() == 4) image = image.copy_memory();
    if (orientation != 1) image = image.autorot().copy_memory();

    std::vector<const char *> kept(std::begin(kKeptBlobs), std::end(kKeptBlobs));
    if (keep_icc) kept.push_back(VIPS_META_ICC_NAME);
    for (const char *name : kept)
      if (image.get_typeof(name) != 0) {
        size_t length = 0;
        const auto *data = static_cast<const uint8_t *>(image.get_blob(name, &length));
        parts->blobs.emplace_back(name, std::vector<uint8_t>(data, data + length));
      }
    parts->xres = image.xres();
    parts->yres = image.yres();

    if (image.bands() == 4) {
      parts->has_alpha = true;
      parts->alpha = image.extract_band(3).copy_memory();
      parts->rgb = image.flatten(VImage::option()->set("background", std::vector<double>{255, 255, 255}))
                       .cast(VIPS_FORMAT_UCHAR);
    } else {
      parts->rgb = image.bands() == 3 ? image : image.extract_band(0, VImage::option()->set("n", 3));
    }
    if (parts->rgb.bands() != 3 || parts->rgb.format() != VIPS_FORMAT_UCHAR) {
      why = "a picture with a colour layout this program does not read";
      return false;
    }
    out.parts = std::move(parts);
    return true;
  } catch (const VError &) {
    why = vips_message("not a picture this program reads");
    return false;
  }
}

namespace {

struct SinkState {
  Bmp24Writer *bmp;
  double ms = 0;
  std::string why;
};

// Called by libvips with strips of whole rows, top to bottom, in order.
int put_rows(VipsRegion *region, VipsRect *area, void *a) {
  auto *state = static_cast<SinkState *>(a);
  const auto start = std::chrono::steady_clock::now();
  const bool ok = state->bmp->write_rows(
      area->top, area->height, reinterpret_cast<const uint8_t *>(VIPS_REGION_ADDR(region, area->left, area->top)),
      VIPS_REGION_LSKIP(region), state->why);
  state->ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  return ok ? 0 : -1;
}

} // namespace

bool write_plugin_bmp(const DecodedPhoto &photo, int bmp_fd, double &staging_ms, ErrorKind &kind,
                      std::string &why) {
  kind = ErrorKind::io_failed;
  if (!photo.parts) {
    why = "nothing decoded";
    return false;
  }
  const auto start = std::chrono::steady_clock::now();
  Bmp24Writer bmp;
  if (!bmp.open(bmp_fd, photo.width(), photo.height(), why)) return false;
  SinkState state{&bmp, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count(), {}};
  // libvips calls put_rows from a thread of its own, beside the decoder.
  if (vips_sink_disc(photo.parts->rgb.get_image(), put_rows, &state) != 0) {
    if (!state.why.empty()) {
      why = state.why;
      vips_error_clear();
    } else {
      kind = ErrorKind::not_a_picture;
      why = vips_message("the picture cannot be decoded");
    }
    return false;
  }
  staging_ms += state.ms;
  return true;
}

bool decode_only(const DecodedPhoto &photo, std::string &why) {
  if (!photo.parts) {
    why = "nothing decoded";
    return false;
  }
  // The same sink as the BMP's, so only the callback's work differs.
  const auto drop = [](VipsRegion *, VipsRect *, void *) -> int { return 0; };
  if (vips_sink_disc(photo.parts->rgb.get_image(), drop, nullptr) != 0) {
    why = vips_message("the picture cannot be decoded");
    return false;
  }
  return true;
}

bool decode_pixels(const DecodedPhoto &photo, RgbPixels &out, std::string &why) {
  if (!photo.parts) {
    why = "nothing decoded";
    return false;
  }
  size_t size = 0;
  void *data = vips_image_write_to_memory(photo.parts->rgb.get_image(), &size);
  if (data == nullptr) {
    why = vips_message("the picture cannot be decoded");
    return false;
  }
  out.width = photo.width();
  out.height = photo.height();
  out.data.reset(new uint8_t[out.size()]);
  std::memcpy(out.data.get(), data, std::min(size, out.size()));
  g_free(data);
  return true;
}

namespace {

// Encodes `image` (3-band uchar) as `format` into `fd`; throws VError.
void encode_image(VImage image, const DecodedPhoto *source, const std::string &format, const EncodeOptions &options,
                  int fd, std::string &why) {
  const DecodedPhoto::Parts *kept = source != nullptr ? source->parts.get() : nullptr;
  auto *copy = VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB);
  if (kept != nullptr && kept->xres > 0) copy->set("xres", kept->xres)->set("yres", kept->yres);
  image = image.copy(copy);
  if (kept != nullptr && kept->has_alpha && format_has_alpha(format) && kept->alpha.width() == image.width() &&
      kept->alpha.height() == image.height())
    image = image.bandjoin(kept->alpha);
  if (kept != nullptr && !options.strip) {
    for (const auto &[name, data] : kept->blobs)
      vips_image_set_blob_copy(image.get_image(), name.c_str(), data.data(), data.size());
    image.set(VIPS_META_ORIENTATION, 1);
  }
  if (is_heif(format.c_str())) need_heif();
  char suffix[96];
  const char *strip = options.strip ? ",strip" : "";
  if (format == "jpg")
    std::snprintf(suffix, sizeof suffix, ".jpg[Q=%d,subsample_mode=on%s]", options.quality, strip);
  else if (format == "webp" || format == "heic")
    std::snprintf(suffix, sizeof suffix, ".%s[Q=%d%s]", format.c_str(), options.quality, strip);
  else if (format == "avif")
    std::snprintf(suffix, sizeof suffix, ".heif[Q=%d,compression=av1%s]", options.quality, strip);
  else if (format == "png" || format == "tif")
    std::snprintf(suffix, sizeof suffix, ".%s[strip=%s]", format.c_str(), options.strip ? "true" : "false");
  else {
    why = "cannot write " + format + " pictures";
    return;
  }
  vips::VTarget target = vips::VTarget::new_to_descriptor(fd);
  image.write_to_target(suffix, target);
}

struct RowSource {
  const Bmp24Rows *rows;
  std::atomic<int64_t> nanoseconds{0};
  std::atomic<int> read_errno{0};
};

// Fills a region of the encoder's picture straight from the plug-in's BMP;
// libvips calls it from its worker threads, beside the encoder.
int generate_rows(VipsRegion *out, void *, void *a, void *, gboolean *) {
  auto *source = static_cast<RowSource *>(a);
  const auto start = std::chrono::steady_clock::now();
  const VipsRect &r = out->valid;
  const bool ok = source->rows->read(r.top, r.height, r.left, r.width,
                                     reinterpret_cast<uint8_t *>(VIPS_REGION_ADDR(out, r.left, r.top)),
                                     VIPS_REGION_LSKIP(out));
  source->nanoseconds += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
  if (ok) return 0;
  source->read_errno = errno != 0 ? errno : EIO;
  vips_error("tavrin", "cannot read the plug-in's picture");
  return -1;
}

} // namespace

bool encode(RgbView pixels, const DecodedPhoto *source, const std::string &format, const EncodeOptions &options,
            int fd, std::string &why) {
  if (!codec_ready(why)) return false;
  why.clear();
  try {
    encode_image(VImage::new_from_memory(const_cast<uint8_t *>(pixels.data), pixels.size(), pixels.width,
                                         pixels.height, 3, VIPS_FORMAT_UCHAR),
                 source, format, options, fd, why);
    return why.empty();
  } catch (const VError &) {
    why = "cannot write the output: " + vips_message("unknown error");
    return false;
  }
}

bool encode_bmp(const Bmp24Rows &rows, const DecodedPhoto *source, const std::string &format,
                const EncodeOptions &options, int fd, double &staging_ms, std::string &why) {
  if (!codec_ready(why)) return false;
  why.clear();
  RowSource state{&rows};
  bool ok = false;
  try {
    VipsImage *image = vips_image_new();
    vips_image_init_fields(image, rows.width(), rows.height(), 3, VIPS_FORMAT_UCHAR, VIPS_CODING_NONE,
                           VIPS_INTERPRETATION_sRGB, 1.0, 1.0);
    VImage wrapped(image); // owns it from here
    if (vips_image_pipelinev(image, VIPS_DEMAND_STYLE_THINSTRIP, nullptr) != 0 ||
        vips_image_generate(image, nullptr, generate_rows, nullptr, &state, nullptr) != 0)
      throw VError();
    encode_image(wrapped, source, format, options, fd, why);
    ok = why.empty();
  } catch (const VError &) {
    why = state.read_errno != 0 ? std::string("cannot read the plug-in's picture: ") + std::strerror(state.read_errno)
                                : "cannot write the output: " + vips_message("unknown error");
    vips_error_clear();
  }
  staging_ms += static_cast<double>(state.nanoseconds.load()) / 1e6;
  return ok;
}

} // namespace tavrin::photo
