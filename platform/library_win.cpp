#include "platform/library.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace platform {

const char* const kProcedureLibraryName = "mailquarry.dll";

namespace {

// The system's text for an error code, without its trailing line end.
std::string SystemMessage(DWORD code) {
  char text[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                        text[length - 1] == ' ')) {
    --length;
  }
  std::string message(text, length);
  return message.empty() ? "error " + std::to_string(code) : message;
}

}  // namespace

void* OpenLibrary(const std::string& path, std::string* error) {
  HMODULE library = LoadLibraryA(path.c_str());
  if (library == nullptr && error != nullptr) *error = SystemMessage(GetLastError());
  return reinterpret_cast<void*>(library);
}

void* FindExport(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

std::string ProgramFolder() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return ".\\";
  const std::string file(path, length);
  const size_t separator = file.find_last_of("\\/");
  return separator == std::string::npos ? ".\\" : file.substr(0, separator + 1);
}

}  // namespace platform
