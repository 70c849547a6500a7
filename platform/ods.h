// Our declarations of the Open Data Services operations that the procedure
// calls, and of the constants it uses. The host (the database server, or our
// embedded stand-in) provides the operations; the procedure only calls them.
#ifndef MAILQUARRY_PLATFORM_ODS_H
#define MAILQUARRY_PLATFORM_ODS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The host's handle of one client request: opaque to the procedure.
typedef struct srv_proc SRV_PROC;

// Host data type codes.
enum {
  SRVINTN = 0x26,       // nullable integer; the message number
  SRVVARCHAR = 0x27,    // variable-length text
  SRVCHAR = 0x2F,       // fixed-length text
  SRVINT4 = 0x38,       // 4-byte integer; the id column
  SRVBIGVARCHAR = 0xA7  // long variable-length text; the message column
};

enum { SRV_MSG_ERROR = 2 };
enum { SRV_NULLTERM = -1 };

// Done status bits.
enum { SRV_DONE_MORE = 0x01, SRV_DONE_ERROR = 0x02, SRV_DONE_COUNT = 0x10 };

// Results of the host's operations that report success.
enum { FAIL = 0, SUCCEED = 1 };

// Return codes of the procedure.
enum { XP_NOERROR = 0, XP_ERROR = 1 };

#define ODS_VERSION 0x07000000u

#if defined(_WIN32)
#define MQ_ODS_CALL __cdecl
#else
#define MQ_ODS_CALL
#endif

// Implemented by the host. The results of the parameter operations are
// relied on; the results of the sending operations are not examined, except
// that of srv_sendrow by the deleting commands.
int MQ_ODS_CALL srv_rpcparams(SRV_PROC* srvproc);
int MQ_ODS_CALL srv_paramtype(SRV_PROC* srvproc, int param);
int MQ_ODS_CALL srv_paramlen(SRV_PROC* srvproc, int param);
void* MQ_ODS_CALL srv_paramdata(SRV_PROC* srvproc, int param);
int MQ_ODS_CALL srv_describe(SRV_PROC* srvproc, int column, char* name,
                             int namelen, int32_t desttype, int32_t destlen,
                             int32_t srctype, int32_t srclen, void* srcdata);
int MQ_ODS_CALL srv_setcoldata(SRV_PROC* srvproc, int column, void* data);
int MQ_ODS_CALL srv_setcollen(SRV_PROC* srvproc, int column, int len);
int MQ_ODS_CALL srv_sendrow(SRV_PROC* srvproc);
int MQ_ODS_CALL srv_sendmsg(SRV_PROC* srvproc, int msgtype, int32_t msgnum,
                            unsigned char msgclass, unsigned char state,
                            char* procname, int procnamelen,
                            unsigned short line, char* text, int textlen);
int MQ_ODS_CALL srv_senddone(SRV_PROC* srvproc, unsigned short status,
                             unsigned short info, int32_t count);

#ifdef __cplusplus
}
#endif

#endif
