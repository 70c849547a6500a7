// The procedure library as the database server sees it: loaded at run time
// and called through its two exported names.
#ifndef MAILQUARRY_HOST_LIBRARY_H
#define MAILQUARRY_HOST_LIBRARY_H

#include <cstdint>
#include <string>

#include "host/call.h"

namespace host {

class Library {
 public:
  // Loads the library and finds both exports; throws std::runtime_error
  // with the reason when either fails.
  explicit Library(const std::string& path);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // The library's __GetXpVersion.
  uint32_t XpVersion() const;
  // Runs the procedure for the call; its return value.
  int Execute(Call& call) const;

  // The procedure library next to the running program.
  static std::string DefaultPath();

 private:
  typedef int(MQ_ODS_CALL* ProcedureFn)(SRV_PROC*);
  typedef uint32_t(MQ_ODS_CALL* VersionFn)();

  void* m_library = nullptr;
  ProcedureFn m_procedure = nullptr;
  VersionFn m_version = nullptr;
};

}  // namespace host

#endif
