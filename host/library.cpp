#include "host/library.h"

#include <stdexcept>

#include "platform/library.h"

namespace host {

Library::Library(const std::string& path) {
  std::string error;
  m_library = platform::OpenLibrary(path, &error);
  if (m_library == nullptr) throw std::runtime_error("cannot load " + path + ": " + error);
  m_procedure = reinterpret_cast<ProcedureFn>(platform::FindExport(m_library, "mailquarry"));
  m_version = reinterpret_cast<VersionFn>(platform::FindExport(m_library, "__GetXpVersion"));
  if (m_procedure == nullptr || m_version == nullptr) {
    platform::CloseLibrary(m_library);
    throw std::runtime_error(path + " does not export mailquarry and __GetXpVersion");
  }
}

Library::~Library() { platform::CloseLibrary(m_library); }

uint32_t Library::XpVersion() const { return m_version(); }

int Library::Execute(Call& call) const { return m_procedure(call.Handle()); }

std::string Library::DefaultPath() {
  return platform::ProgramFolder() + platform::kProcedureLibraryName;
}

}  // namespace host
