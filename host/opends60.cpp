// The stand-in opends60 library: the ten ODS operations, each forwarded to
// the handlers of the request handle it is given.
#include "host/srv_proc.h"
#include "platform/export.h"

extern "C" {

MQ_EXPORT int MQ_ODS_CALL srv_rpcparams(SRV_PROC* p) { return p->handlers->rpcparams(p); }

MQ_EXPORT int MQ_ODS_CALL srv_paramtype(SRV_PROC* p, int n) { return p->handlers->paramtype(p, n); }

MQ_EXPORT int MQ_ODS_CALL srv_paramlen(SRV_PROC* p, int n) { return p->handlers->paramlen(p, n); }

MQ_EXPORT void* MQ_ODS_CALL srv_paramdata(SRV_PROC* p, int n) { return p->handlers->paramdata(p, n); }

MQ_EXPORT int MQ_ODS_CALL srv_describe(SRV_PROC* p, int column, char* name, int namelen,
                                       int32_t desttype, int32_t destlen, int32_t srctype,
                                       int32_t srclen, void* srcdata) {
  return p->handlers->describe(p, column, name, namelen, desttype, destlen, srctype, srclen,
                               srcdata);
}

MQ_EXPORT int MQ_ODS_CALL srv_setcoldata(SRV_PROC* p, int column, void* data) {
  return p->handlers->setcoldata(p, column, data);
}

MQ_EXPORT int MQ_ODS_CALL srv_setcollen(SRV_PROC* p, int column, int len) {
  return p->handlers->setcollen(p, column, len);
}

MQ_EXPORT int MQ_ODS_CALL srv_sendrow(SRV_PROC* p) { return p->handlers->sendrow(p); }

MQ_EXPORT int MQ_ODS_CALL srv_sendmsg(SRV_PROC* p, int msgtype, int32_t msgnum,
                                      unsigned char msgclass, unsigned char state, char* procname,
                                      int procnamelen, unsigned short line, char* text,
                                      int textlen) {
  return p->handlers->sendmsg(p, msgtype, msgnum, msgclass, state, procname, procnamelen, line,
                              text, textlen);
}

MQ_EXPORT int MQ_ODS_CALL srv_senddone(SRV_PROC* p, unsigned short status, unsigned short info,
                                       int32_t count) {
  return p->handlers->senddone(p, status, info, count);
}

}  // extern "C"
