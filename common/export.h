// How a plug-in marks its one exported function. The linker script (or the
// .def file on Windows) makes sure nothing else leaves the library.
#pragma once

#if defined(_WIN32)
#define TAVRIN_EXPORT extern "C" __declspec(dllexport)
#else
#define TAVRIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif
