// tavrin_bench --photo: the photo path against the codec alone. On a
// 16-megapixel JPEG, `tavrin EFFECT in.jpg out.jpg` for every effect next to
// `vips copy in.jpg out.jpg` in the same run, and the share of the private
// BMPs between the codec and the plug-in.
#pragma once

namespace tavrin::bench {

// Takes the arguments after "--photo"; returns the exit status.
int run_photo_bench(int argc, char **argv);

} // namespace tavrin::bench
