// What a request handle is inside our stand-in host: a table of the host's
// handlers for the ten operations. The opends60 library only forwards each
// operation through the handle it is given, so it holds no state at all and
// calls on different handles share nothing.
#ifndef MAILQUARRY_HOST_SRV_PROC_H
#define MAILQUARRY_HOST_SRV_PROC_H

#include "platform/ods.h"

extern "C" {

struct SrvHandlers {
  int (*rpcparams)(SRV_PROC*);
  int (*paramtype)(SRV_PROC*, int);
  int (*paramlen)(SRV_PROC*, int);
  void* (*paramdata)(SRV_PROC*, int);
  int (*describe)(SRV_PROC*, int, char*, int, int32_t, int32_t, int32_t, int32_t, void*);
  int (*setcoldata)(SRV_PROC*, int, void*);
  int (*setcollen)(SRV_PROC*, int, int);
  int (*sendrow)(SRV_PROC*);
  int (*sendmsg)(SRV_PROC*, int, int32_t, unsigned char, unsigned char, char*, int,
                 unsigned short, char*, int);
  int (*senddone)(SRV_PROC*, unsigned short, unsigned short, int32_t);
};

struct srv_proc {
  const SrvHandlers* handlers;
};

}  // extern "C"

#endif
