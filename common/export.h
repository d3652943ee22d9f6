// How a plug-in marks its one exported function. The linker script (or the
// .def file on Windows) makes sure nothing else leaves the library.
#pragma once

#include "tavrin/overlay.h"

#define TAVRIN_EXPORT extern "C" TAVRIN_OVERLAY_API
