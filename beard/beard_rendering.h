// Textured dark-brown mustache and beard over the lower part of a face.
#pragma once

#include "overlay_types.h"

namespace tavrin::beard {

// (dx / a)^2 + (dy / b)^2 <= 1 in double precision; the boundary is inside.
bool inside_ellipse(int dx, int dy, int a, int b);

// Paints the mustache, then the beard, for the face (fx, fy, fw, fh), clipped
// to the picture. The same picture and face always give the same pixels.
void draw_beard(BmpImage &image, int fx, int fy, int fw, int fh);

} // namespace tavrin::beard
