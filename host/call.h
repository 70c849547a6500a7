// The embedded ODS host: the server's side of one procedure call, in memory.
// A call is given its parameters, answers the procedure's parameter
// operations from them and records every operation the procedure makes, in
// order, with its arguments. Each call is its own request handle; calls on
// different threads share nothing.
#ifndef MAILQUARRY_HOST_CALL_H
#define MAILQUARRY_HOST_CALL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/srv_proc.h"

namespace host {

// One parameter as the client passed it: its type code, its length and its
// bytes, or no data at all.
struct Param {
  int type = 0;
  int length = 0;
  bool hasData = false;
  std::string bytes;

  static Param Text(const std::string& text, int type = SRVVARCHAR);
  static Param Int(int32_t value);
  static Param Null();
  static Param Raw(int type, int length, const std::string& bytes);
  static Param NoData(int type, int length);
};

// One recorded operation: its name and its arguments, in the order they are
// written out.
struct Field {
  std::string name;
  bool isText = false;
  long long number = 0;
  std::string text;
};

struct Event {
  std::string op;
  std::vector<Field> fields;

  bool Has(const std::string& name) const;
  long long Number(const std::string& name) const;
  std::string Text(const std::string& name) const;
};

// One JSON object on one line; bytes of 0x80 and above are written as
// \u00XX, so that the string read back as Latin-1 gives the exact bytes.
std::string ToJson(const Event& event);
std::string JsonString(const std::string& bytes);

struct Row {
  int32_t id = 0;
  std::string message;
  bool delivered = true;
};

struct Message {
  int type = 0;
  int32_t number = 0;
  int msgClass = 0;
  int state = 0;
  int line = 0;
  std::string text;
};

struct Done {
  int status = 0;
  int info = 0;
  int32_t count = 0;
};

class Call {
 public:
  explicit Call(std::vector<Param> params);
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  SRV_PROC* Handle() { return &m_handle; }

  // From row `row` on (counted from 1), srv_sendrow fails as it does when
  // the client has gone away.
  void FailRowsFrom(int row) { m_failRowsFrom = row; }

  // Hands every operation to `observer` as it happens. With `keep` false
  // nothing is recorded (the accessors below stay empty), so a long call
  // needs no memory for what it has already sent.
  void Observe(std::function<void(const Event&)> observer, bool keep) {
    m_observer = std::move(observer);
    m_keep = keep;
  }

  const std::vector<Event>& Transcript() const { return m_transcript; }
  std::vector<std::string> JsonLines() const;
  // Every row the procedure tried to send, in order.
  const std::vector<Row>& Rows() const { return m_rows; }
  const std::vector<Message>& Messages() const { return m_messages; }
  const std::vector<Done>& Dones() const { return m_dones; }
  // The names of the described columns, by column number from 1.
  const std::vector<std::string>& Columns() const { return m_columns; }

 private:
  struct CallHandle : srv_proc {
    Call* owner;
  };
  static Call& Of(SRV_PROC* p) { return *static_cast<CallHandle*>(p)->owner; }
  static const SrvHandlers kHandlers;

  static int RpcParams(SRV_PROC* p);
  static int ParamType(SRV_PROC* p, int n);
  static int ParamLen(SRV_PROC* p, int n);
  static void* ParamData(SRV_PROC* p, int n);
  static int Describe(SRV_PROC* p, int column, char* name, int namelen, int32_t desttype,
                      int32_t destlen, int32_t srctype, int32_t srclen, void* srcdata);
  static int SetColData(SRV_PROC* p, int column, void* data);
  static int SetColLen(SRV_PROC* p, int column, int len);
  static int SendRow(SRV_PROC* p);
  static int SendMsg(SRV_PROC* p, int type, int32_t number, unsigned char msgClass,
                     unsigned char state, char* procname, int procnamelen, unsigned short line,
                     char* text, int textlen);
  static int SendDone(SRV_PROC* p, unsigned short status, unsigned short info, int32_t count);

  const Param* ParamAt(int n) const;
  void Publish(Event event);

  CallHandle m_handle;
  std::vector<Param> m_params;
  std::vector<Event> m_transcript;
  std::vector<Row> m_rows;
  std::vector<Message> m_messages;
  std::vector<Done> m_dones;
  std::vector<std::string> m_columns;
  std::vector<const void*> m_columnData;
  std::vector<int> m_columnLength;
  int m_failRowsFrom = 0;
  int m_rowCount = 0;
  std::function<void(const Event&)> m_observer;
  bool m_keep = true;
};

}  // namespace host

#endif
