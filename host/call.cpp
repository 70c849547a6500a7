#include "host/call.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace host {

Param Param::Text(const std::string& text, int type) {
  return Raw(type, static_cast<int>(text.size()), text);
}

Param Param::Int(int32_t value) {
  const uint32_t bits = static_cast<uint32_t>(value);
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((bits >> (8 * i)) & 0xFF));
  return Raw(SRVINTN, 4, bytes);
}

Param Param::Null() { return NoData(SRVINTN, 0); }

Param Param::Raw(int type, int length, const std::string& bytes) {
  Param param;
  param.type = type;
  param.length = length;
  param.hasData = true;
  param.bytes = bytes;
  return param;
}

Param Param::NoData(int type, int length) {
  Param param;
  param.type = type;
  param.length = length;
  return param;
}

bool Event::Has(const std::string& name) const {
  for (const Field& field : fields) {
    if (field.name == name) return true;
  }
  return false;
}

long long Event::Number(const std::string& name) const {
  for (const Field& field : fields) {
    if (field.name == name && !field.isText) return field.number;
  }
  throw std::out_of_range(op + " has no number " + name);
}

std::string Event::Text(const std::string& name) const {
  for (const Field& field : fields) {
    if (field.name == name && field.isText) return field.text;
  }
  throw std::out_of_range(op + " has no text " + name);
}

std::string JsonString(const std::string& bytes) {
  std::string out = "\"";
  for (const char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte >= 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string ToJson(const Event& event) {
  std::string out = "{\"op\":" + JsonString(event.op);
  for (const Field& field : event.fields) {
    out += ",\"" + field.name + "\":";
    out += field.isText ? JsonString(field.text) : std::to_string(field.number);
  }
  return out + "}";
}

namespace {

void AddNumber(Event& event, const char* name, long long number) {
  Field field;
  field.name = name;
  field.number = number;
  event.fields.push_back(field);
}

void AddText(Event& event, const char* name, const std::string& text) {
  Field field;
  field.name = name;
  field.isText = true;
  field.text = text;
  event.fields.push_back(field);
}

// A text passed with a length, or zero-terminated when the length is
// SRV_NULLTERM.
std::string TextOf(const char* text, int length) {
  if (text == nullptr) return std::string();
  if (length == SRV_NULLTERM) return std::string(text);
  return length > 0 ? std::string(text, static_cast<size_t>(length)) : std::string();
}

}  // namespace

const SrvHandlers Call::kHandlers = {
    &Call::RpcParams, &Call::ParamType, &Call::ParamLen,   &Call::ParamData, &Call::Describe,
    &Call::SetColData, &Call::SetColLen, &Call::SendRow, &Call::SendMsg,   &Call::SendDone,
};

Call::Call(std::vector<Param> params) : m_params(std::move(params)) {
  m_handle.handlers = &kHandlers;
  m_handle.owner = this;
}

std::vector<std::string> Call::JsonLines() const {
  std::vector<std::string> lines;
  lines.reserve(m_transcript.size());
  for (const Event& event : m_transcript) lines.push_back(ToJson(event));
  return lines;
}

const Param* Call::ParamAt(int n) const {
  if (n < 1 || n > static_cast<int>(m_params.size())) return nullptr;
  return &m_params[static_cast<size_t>(n - 1)];
}

void Call::Publish(Event event) {
  if (m_observer) m_observer(event);
  if (m_keep) m_transcript.push_back(std::move(event));
}

int Call::RpcParams(SRV_PROC* p) {
  Call& call = Of(p);
  const int count = static_cast<int>(call.m_params.size());
  Event event{"srv_rpcparams", {}};
  AddNumber(event, "result", count);
  call.Publish(std::move(event));
  return count;
}

int Call::ParamType(SRV_PROC* p, int n) {
  Call& call = Of(p);
  const Param* param = call.ParamAt(n);
  const int type = param != nullptr ? param->type : -1;
  Event event{"srv_paramtype", {}};
  AddNumber(event, "param", n);
  AddNumber(event, "result", type);
  call.Publish(std::move(event));
  return type;
}

int Call::ParamLen(SRV_PROC* p, int n) {
  Call& call = Of(p);
  const Param* param = call.ParamAt(n);
  const int length = param != nullptr ? param->length : -1;
  Event event{"srv_paramlen", {}};
  AddNumber(event, "param", n);
  AddNumber(event, "result", length);
  call.Publish(std::move(event));
  return length;
}

void* Call::ParamData(SRV_PROC* p, int n) {
  Call& call = Of(p);
  Event event{"srv_paramdata", {}};
  AddNumber(event, "param", n);
  call.Publish(std::move(event));
  Param* param = const_cast<Param*>(call.ParamAt(n));
  if (param == nullptr || !param->hasData) return nullptr;
  return &param->bytes[0];
}

int Call::Describe(SRV_PROC* p, int column, char* name, int namelen, int32_t desttype,
                   int32_t destlen, int32_t srctype, int32_t srclen, void* /*srcdata*/) {
  Call& call = Of(p);
  Event event{"srv_describe", {}};
  AddNumber(event, "column", column);
  AddText(event, "name", TextOf(name, namelen));
  AddNumber(event, "namelen", namelen);
  AddNumber(event, "desttype", desttype);
  AddNumber(event, "destlen", destlen);
  AddNumber(event, "srctype", srctype);
  AddNumber(event, "srclen", srclen);
  if (column >= 1) {
    const size_t count = static_cast<size_t>(column);
    if (call.m_columns.size() < count) {
      call.m_columns.resize(count);
      call.m_columnData.resize(count, nullptr);
      call.m_columnLength.resize(count, 0);
    }
    call.m_columns[count - 1] = TextOf(name, namelen);
  }
  call.Publish(std::move(event));
  return column;
}

int Call::SetColData(SRV_PROC* p, int column, void* data) {
  Call& call = Of(p);
  Event event{"srv_setcoldata", {}};
  AddNumber(event, "column", column);
  call.Publish(std::move(event));
  if (column < 1 || column > static_cast<int>(call.m_columnData.size())) return FAIL;
  call.m_columnData[static_cast<size_t>(column - 1)] = data;
  return SUCCEED;
}

int Call::SetColLen(SRV_PROC* p, int column, int len) {
  Call& call = Of(p);
  Event event{"srv_setcollen", {}};
  AddNumber(event, "column", column);
  AddNumber(event, "len", len);
  call.Publish(std::move(event));
  if (column < 1 || column > static_cast<int>(call.m_columnLength.size())) return FAIL;
  call.m_columnLength[static_cast<size_t>(column - 1)] = len;
  return SUCCEED;
}

int Call::SendRow(SRV_PROC* p) {
  Call& call = Of(p);
  Row row;
  if (!call.m_columnData.empty() && call.m_columnData[0] != nullptr) {
    std::memcpy(&row.id, call.m_columnData[0], sizeof row.id);
  }
  if (call.m_columnData.size() >= 2 && call.m_columnData[1] != nullptr &&
      call.m_columnLength[1] > 0) {
    row.message.assign(static_cast<const char*>(call.m_columnData[1]),
                       static_cast<size_t>(call.m_columnLength[1]));
  }
  const int number = ++call.m_rowCount;
  row.delivered = call.m_failRowsFrom == 0 || number < call.m_failRowsFrom;
  Event event{"srv_sendrow", {}};
  AddNumber(event, "id", row.id);
  AddText(event, "message", row.message);
  if (!row.delivered) AddNumber(event, "result", FAIL);
  call.Publish(std::move(event));
  const bool delivered = row.delivered;
  if (call.m_keep) call.m_rows.push_back(std::move(row));
  return delivered ? SUCCEED : FAIL;
}

int Call::SendMsg(SRV_PROC* p, int type, int32_t number, unsigned char msgClass,
                  unsigned char state, char* /*procname*/, int procnamelen, unsigned short line,
                  char* text, int textlen) {
  Call& call = Of(p);
  Message message;
  message.type = type;
  message.number = number;
  message.msgClass = msgClass;
  message.state = state;
  message.line = line;
  message.text = TextOf(text, textlen);
  Event event{"srv_sendmsg", {}};
  AddNumber(event, "type", type);
  AddNumber(event, "number", number);
  AddNumber(event, "class", msgClass);
  AddNumber(event, "state", state);
  AddNumber(event, "procnamelen", procnamelen);
  AddNumber(event, "line", line);
  AddText(event, "text", message.text);
  AddNumber(event, "textlen", textlen);
  call.Publish(std::move(event));
  if (call.m_keep) call.m_messages.push_back(message);
  return SUCCEED;
}

int Call::SendDone(SRV_PROC* p, unsigned short status, unsigned short info, int32_t count) {
  Call& call = Of(p);
  Event event{"srv_senddone", {}};
  AddNumber(event, "status", status);
  AddNumber(event, "info", info);
  AddNumber(event, "count", count);
  call.Publish(std::move(event));
  if (call.m_keep) call.m_dones.push_back(Done{status, info, count});
  return SUCCEED;
}

}  // namespace host
