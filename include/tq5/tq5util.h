// TQ5UTIL: starts a utility program from the TWAIN folder of the Windows
// directory, in the shape of a command-line library entry point.
#pragma once

#include <cstdint>

#include "tq5/callconv.h"

extern "C" {
TQ5_EXPORT int32_t TQ5_STDCALL ScannerUtilityStart(void* window, void* instance, const char* commandLine,
                                                    int32_t show);
}
