/* The contract between a Tavrin plug-in and the program that loads it.
 *
 * Each plug-in is a shared library (TavrinBMPSunglasses, TavrinBMPMustache,
 * TavrinBMPFaceHat, TavrinBMPFaceBeard) that exports exactly one function of
 * the type tavrin_overlay_fn under the name below. The function reads the
 * bitmap at `input`, paints its accessory onto the face it finds and writes
 * the result to `output`; the two may name the same file.
 *
 * Paths are NUL-terminated UTF-16 strings. On Windows they are handed to the
 * wide file functions as they are; elsewhere each is converted to UTF-8 and
 * opened as a byte string, so a name that is not valid UTF-8 cannot be
 * reached: hosts pass a path they made themselves instead. A null path
 * fails the call.
 *
 * The function prints its own progress and errors on standard output and
 * standard error, keeps no state between calls and may be called from
 * several threads at once. It never lets an exception out.
 */
#ifndef TAVRIN_OVERLAY_H
#define TAVRIN_OVERLAY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The output was written (with or without a face found). */
#define TAVRIN_STATUS_WRITTEN 999
/* Nothing usable was written; the reason went to the console. */
#define TAVRIN_STATUS_FAILED 1

#if defined(__cplusplus) && __cplusplus >= 201103L
typedef char16_t tavrin_char16;
#else
typedef uint_least16_t tavrin_char16;
#endif

typedef int32_t (*tavrin_overlay_fn)(const tavrin_char16 *input, const tavrin_char16 *output);

/* A plug-in's own sources are built with TAVRIN_BUILDING_PLUGIN defined. */
#if defined(_WIN32) && defined(TAVRIN_BUILDING_PLUGIN)
#define TAVRIN_OVERLAY_API __declspec(dllexport)
#elif defined(_WIN32)
#define TAVRIN_OVERLAY_API __declspec(dllimport)
#else
#define TAVRIN_OVERLAY_API __attribute__((visibility("default")))
#endif

/* The four exports, one per library. The first name is spelled as it has
 * always been exported. */
TAVRIN_OVERLAY_API int32_t BMPSunglases(const tavrin_char16 *input, const tavrin_char16 *output);
TAVRIN_OVERLAY_API int32_t BMPMustache(const tavrin_char16 *input, const tavrin_char16 *output);
TAVRIN_OVERLAY_API int32_t BMPFaceHat(const tavrin_char16 *input, const tavrin_char16 *output);
TAVRIN_OVERLAY_API int32_t BMPBeard(const tavrin_char16 *input, const tavrin_char16 *output);

#ifdef __cplusplus
}
#endif

#endif
