// The pictures people have, in and out, through libvips: decoded upright
// into 8-bit sRGB for a plug-in, encoded with what the input carried.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "photo/formats.h"
#include "photo/job.h"
#include "photo/private_bmp.h"

namespace tavrin::photo {

// Called first in main, while the process has one thread: libvips will
// then load only the module this program uses (codec.cpp says why). A
// VIPSHOME of the user's is left alone.
void skip_unused_codec_modules();

// Starts libvips once for the process: untrusted loaders blocked, only the
// loaders of the formats named in --help allowed, no operation cache (a file
// may change between two jobs of one worker). False, with the reason, when
// it cannot start.
bool codec_ready(std::string &why);

// An input ready to decode: header read and checked, the steps to upright
// 8-bit sRGB on white set up, plus what the output should get back (the
// alpha channel, the metadata).
class DecodedPhoto {
public:
  DecodedPhoto();
  ~DecodedPhoto();
  DecodedPhoto(DecodedPhoto &&) noexcept;
  DecodedPhoto &operator=(DecodedPhoto &&) noexcept;

  int32_t width() const;
  int32_t height() const;

  struct Parts;
  std::unique_ptr<Parts> parts;
};

// Opens the picture in `fd` (by its content, whatever its name). Refuses a
// picture of more than `limits.max_pixels` from its header, before any pixel
// is decoded. `type` is what picture_type made of its first bytes: a JPEG
// is refused for what the decoder only warns about (damaged data), a HEIC
// or AVIF brings the HEIF module. On failure fills `kind` and a one-line
// `why`.
bool decode(int fd, const Limits &limits, const char *type, DecodedPhoto &out, ErrorKind &kind, std::string &why);

// Decodes `photo` straight into a 24-bit BMP in `bmp_fd`, for the plug-in.
// `staging_ms` gets the time spent putting rows into the BMP.
bool write_plugin_bmp(const DecodedPhoto &photo, int bmp_fd, double &staging_ms, ErrorKind &kind,
                      std::string &why);

// Decodes `photo` through the same sink and throws the rows away: the
// benchmark weighs what write_plugin_bmp adds against it.
bool decode_only(const DecodedPhoto &photo, std::string &why);

// Decodes `photo` into memory (for pictures that are shown, not painted on).
bool decode_pixels(const DecodedPhoto &photo, RgbPixels &out, std::string &why);

// Encodes `pixels` as `format` into `fd`. With a `source`, the output gets
// its alpha channel back (where `format` has one) and, unless `strip`, its
// ICC profile, EXIF and XMP, with the orientation set to 1.
bool encode(RgbView pixels, const DecodedPhoto *source, const std::string &format, const EncodeOptions &options,
            int fd, std::string &why);

// The same for the plug-in's BMP, whose rows are read as the encoder asks
// for them; `staging_ms` gets the time spent reading and turning them.
bool encode_bmp(const Bmp24Rows &rows, const DecodedPhoto *source, const std::string &format,
                const EncodeOptions &options, int fd, double &staging_ms, std::string &why);

} // namespace tavrin::photo
