#include <cstring>

#include "procedure/messages.h"
#include "procedure/procedure.h"

namespace {

// Room for the longest text parameter and its terminating zero.
constexpr int kCopyArea = 512;

}  // namespace

bool GetStringParam(CText& text, int param, SRV_PROC* srvproc) {
  const int type = srv_paramtype(srvproc, param);
  const int length = srv_paramlen(srvproc, param);
  if (type != SRVVARCHAR && type != SRVCHAR) throw CText(messages::kWrongType);
  if (length >= kCopyArea) throw CText(messages::kTooLong);

  const char* data = static_cast<const char*>(srv_paramdata(srvproc, param));
  // The copy stops before the first zero byte; a length the host reports as
  // negative, or data it does not give, read as an empty value.
  char copy[kCopyArea];
  size_t copied = 0;
  if (data != nullptr && length > 0) {
    const void* zero = std::memchr(data, 0, static_cast<size_t>(length));
    copied = zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - data)
                             : static_cast<size_t>(length);
    std::memcpy(copy, data, copied);
  }
  copy[copied] = '\0';
  // A value that begins with a space reads as empty.
  if (copy[0] == ' ') copy[0] = '\0';
  text = CText(copy);
  return true;
}

bool GetIntParam(int32_t& value, int param, SRV_PROC* srvproc) {
  const int type = srv_paramtype(srvproc, param);
  if (type != SRVINTN) throw CText(messages::kWrongType);
  const int length = srv_paramlen(srvproc, param);
  const unsigned char* data = static_cast<const unsigned char*>(srv_paramdata(srvproc, param));
  if (data == nullptr || length <= 0) throw CText(messages::kNull);
  // Only a 4-byte integer is taken: reading part of a wider one could name
  // another message than the caller meant.
  if (length != 4) throw CText(messages::kWrongType);
  const uint32_t bits = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                        static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
  value = static_cast<int32_t>(bits);
  return true;
}
