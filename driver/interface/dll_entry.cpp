// The library's entry: process attach when libTQ5DRV.so is loaded, detach
// when it is unloaded. A failed attach makes the load fail, as a library
// whose entry refuses the process does.
#include <cstdio>
#include <cstdlib>

#include "interface/device_lock.h"

namespace {

__attribute__((constructor)) void LibraryAttach() {
  if (!DriverProcessAttach()) {
    // There is no way to fail dlopen from a constructor; end the process the
    // way a refused library load ends the host's attempt to use it.
    std::fputs("TQ5DRV: the shared state or the device mutex could not be set up\n", stderr);
    std::abort();
  }
}

__attribute__((destructor)) void LibraryDetach() { DriverProcessDetach(); }

}  // namespace
