// Loading a shared library at run time and finding its exports, the way a
// database server loads an extended procedure. One implementation per
// platform.
#ifndef MAILQUARRY_PLATFORM_LIBRARY_H
#define MAILQUARRY_PLATFORM_LIBRARY_H

#include <string>

namespace platform {

// The file name of the procedure library on this platform.
extern const char* const kProcedureLibraryName;

// Opens the library; null on failure, with the system's reason in `error`.
void* OpenLibrary(const std::string& path, std::string* error);
void* FindExport(void* library, const char* name);
void CloseLibrary(void* library);

// The folder that holds the running program, ending with a separator.
std::string ProgramFolder();

}  // namespace platform

#endif
