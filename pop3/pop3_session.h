// The client side of one POP3 conversation over one TCP connection. Every
// operation answers true or false; the session produces no message text.
#ifndef MAILQUARRY_POP3_POP3_SESSION_H
#define MAILQUARRY_POP3_POP3_SESSION_H

#include <cstddef>
#include <cstdint>

#include "platform/text.h"
#include "pop3/reply_reader.h"

class CTcpSocket;

class CPop3Session {
 public:
  static constexpr int kPort = 110;
  // The most bytes asked of one receive.
  static constexpr int kReceiveSize = 512;
  // No data for longer than this ends a read (and bounds connecting).
  static constexpr uint32_t kIdleLimitMs = 20000;

  // `bodyLimit`: how many bytes of a message or header block the caller can
  // use; the rest is read and dropped.
  explicit CPop3Session(size_t bodyLimit = CReplyReader::kKeepWholeBody,
                        uint32_t idleLimitMs = kIdleLimitMs);
  ~CPop3Session();
  CPop3Session(const CPop3Session&) = delete;
  CPop3Session& operator=(const CPop3Session&) = delete;

  bool Open(const CText& server);
  void Close();
  bool Login(const CText& server, const CText& user, const CText& password);
  // The status line of the answer to LIST n, with its CR LF.
  bool List(CText& text, int32_t message);
  // The message, without the CR LF that ends its last line.
  bool Retr(CText& text, int32_t message);
  // The header lines of the message (TOP n 0).
  bool Top(CText& text, int32_t message);
  bool Dele(int32_t message);
  bool Quit();

  bool Connected() const { return m_transport != nullptr; }

 private:
  bool SendUser(const CText& user);
  bool SendPass(const CText& password);
  // Sends one command line whole; false when it could not be sent.
  bool SendCommand(const char* line, int length);
  // One single-line answer; `text` gets its status line.
  bool ReadResponse(CText& text);
  // A single-line exchange: send, then read the answer.
  bool Exchange(const char* line, int length, CText& answer);
  // A multi-line exchange: `text` gets the body when the answer is positive
  // and complete, and is left as it was otherwise.
  bool ExchangeMultiline(const char* line, int length, CText& text);
  // Receives and feeds until the reader has its answer; false when the
  // connection closes, fails or stays silent past the idle limit first.
  bool ReadReply(CReplyReader& reader);

  CTcpSocket* m_transport = nullptr;
  size_t m_bodyLimit;
  uint32_t m_idleLimitMs;
};

#endif
