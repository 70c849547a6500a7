#include "platform/library.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace platform {

const char* const kProcedureLibraryName = "libmailquarry.so";

void* OpenLibrary(const std::string& path, std::string* error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr && error != nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "cannot load " + path;
  }
  return library;
}

void* FindExport(void* library, const char* name) { return dlsym(library, name); }

void CloseLibrary(void* library) { dlclose(library); }

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "./";
  std::string folder(path, static_cast<size_t>(length));
  const size_t slash = folder.rfind('/');
  return slash == std::string::npos ? "./" : folder.substr(0, slash + 1);
}

}  // namespace platform
