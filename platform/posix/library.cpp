// Dynamic libraries. A Windows library name "NAME.dll" is the shared object
// "libNAME.so", looked for first in the directory of the binary that
// contains this platform code (the driver library, or a program linked with
// the platform statically), then in each directory of $TQ5_LIBRARY_PATH
// (colon separated), in order.

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform.h"

struct PlatLibrary {
  void* handle = nullptr;
};

namespace {

// "TONEFX.dll" -> "libTONEFX.so"; any directory part is dropped.
std::string SharedObjectName(const std::string& windowsName) {
  std::string base = windowsName;
  const size_t slash = base.find_last_of("\\/");
  if (slash != std::string::npos) base = base.substr(slash + 1);
  if (base.size() > 4) {
    std::string suffix = base.substr(base.size() - 4);
    for (char& c : suffix) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (suffix == ".dll") base.resize(base.size() - 4);
  }
  return base.empty() ? std::string() : "lib" + base + ".so";
}

std::vector<std::string> SearchDirectories() {
  std::vector<std::string> directories;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&PlatLibraryLoad), &info) != 0 && info.dli_fname != nullptr) {
    std::string own = info.dli_fname;
    const size_t slash = own.find_last_of('/');
    directories.push_back(slash == std::string::npos ? "." : own.substr(0, slash));
  }
  if (const char* extra = std::getenv("TQ5_LIBRARY_PATH")) {
    std::string list = extra;
    size_t at = 0;
    while (at <= list.size()) {
      size_t colon = list.find(':', at);
      if (colon == std::string::npos) colon = list.size();
      if (colon > at) directories.push_back(list.substr(at, colon - at));
      at = colon + 1;
    }
  }
  return directories;
}

}  // namespace

PlatLibrary* PlatLibraryLoad(const char* windowsName) {
  if (windowsName == nullptr) return nullptr;
  const std::string file = SharedObjectName(windowsName);
  if (file.empty()) return nullptr;
  for (const std::string& directory : SearchDirectories()) {
    const std::string path = directory + "/" + file;
    struct stat info{};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      auto* library = new PlatLibrary;
      library->handle = handle;
      return library;
    }
  }
  return nullptr;
}

void* PlatLibrarySymbol(PlatLibrary* library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  return dlsym(library->handle, name);
}

void PlatLibraryFree(PlatLibrary* library) {
  if (library == nullptr) return;
  dlclose(library->handle);
  delete library;
}
