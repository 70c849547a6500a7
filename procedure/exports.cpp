// The two functions the database server calls.
#include "platform/export.h"
#include "procedure/procedure.h"

extern "C" {

MQ_EXPORT int MQ_ODS_CALL mailquarry(SRV_PROC* srvproc) {
  return RunProcedure(srvproc) ? XP_NOERROR : XP_ERROR;
}

MQ_EXPORT uint32_t MQ_ODS_CALL __GetXpVersion() { return ODS_VERSION; }

}  // extern "C"
