// Calling-convention and export macros shared by the three libraries.
//
// The libraries were designed for 32-bit Windows: the driver's exports use the
// standard convention (callee removes the arguments), DoToneFx the C
// convention. On Linux both macros are empty; a Windows build defines them.
#pragma once

#if defined(_WIN32)
#define TQ5_STDCALL __stdcall
#define TQ5_CDECL __cdecl
#define TQ5_EXPORT __declspec(dllexport)
#else
#define TQ5_STDCALL
#define TQ5_CDECL
#define TQ5_EXPORT __attribute__((visibility("default")))
#endif
