// Pictures made and read through libvips, so that the photo path's inputs
// and outputs are judged by a codec of their own, not by the host's code.
#pragma once

#include <string>

#include <vips/vips.h>

#include "bmp_builder.h"

namespace tavrin::test {

// Starts libvips once for the whole test program.
void start_vips();

// Owns one reference to a VipsImage.
class Image {
public:
  explicit Image(VipsImage *image = nullptr) : image_(image) {}
  ~Image() { reset(); }
  Image(Image &&other) noexcept : image_(other.image_) { other.image_ = nullptr; }
  Image &operator=(Image &&other) noexcept {
    if (this != &other) {
      reset();
      image_ = other.image_;
      other.image_ = nullptr;
    }
    return *this;
  }
  Image(const Image &) = delete;
  Image &operator=(const Image &) = delete;

  VipsImage *get() const { return image_; }
  explicit operator bool() const { return image_ != nullptr; }
  int width() const { return vips_image_get_width(image_); }
  int height() const { return vips_image_get_height(image_); }
  int bands() const { return vips_image_get_bands(image_); }

private:
  void reset() {
    if (image_ != nullptr) g_object_unref(image_);
    image_ = nullptr;
  }
  VipsImage *image_;
};

// libvips's last error, and clears it.
std::string vips_failure();

// Three 8-bit bands, red green blue, from the picture's pixels.
Image rgb_image(const TestPicture &picture);
// The built-in portrait (host/demo) as such an image.
Image portrait_image();
TestPicture portrait_pixels();

// The first three bands of an 8-bit image. An empty picture when it cannot be read.
TestPicture rgb_pixels(const Image &image);
// One band (e.g. 3, the alpha) as bytes, rows top first.
std::string band_bytes(const Image &image, int band);

// Reads a file by its content; a null Image (and a test failure) when it cannot.
Image load(const std::string &path);
// Writes by the name's extension; options as in "x.jpg[Q=95]".
bool save(const Image &image, const std::string &path);
// A copy whose metadata can be changed without touching the original.
Image copy_of(const Image &image);

// The loader libvips picks for the file by its content ("jpegload", "pngload"
// ...), or "" when none takes it.
std::string loader_of(const std::string &path);

// A metadata block's bytes; `present` says whether the image has it at all.
std::string blob(const Image &image, const char *name, bool *present = nullptr);

// Mean absolute difference per byte of two pictures of one size; 255 when
// the sizes differ.
double mean_difference(const TestPicture &a, const TestPicture &b);

} // namespace tavrin::test
