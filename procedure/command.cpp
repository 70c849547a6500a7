#include <climits>

#include "procedure/messages.h"
#include "procedure/procedure.h"

#ifndef MAILQUARRY_IDLE_LIMIT_MS
#define MAILQUARRY_IDLE_LIMIT_MS 20000
#endif

namespace {

constexpr uint32_t kIdleLimitMs = MAILQUARRY_IDLE_LIMIT_MS;

void DescribeColumns(SRV_PROC* srvproc) {
  char id[] = "id";
  char message[] = "message";
  srv_describe(srvproc, 1, id, SRV_NULLTERM, SRVINT4, 1, SRVINT4, 1, nullptr);
  srv_describe(srvproc, 2, message, SRV_NULLTERM, SRVBIGVARCHAR, kRowLimit, SRVBIGVARCHAR, 0,
               nullptr);
}

// What follows the last space of a LIST answer, less its CR LF: the size.
void ShortenListing(CText& text) {
  const size_t space = text.FindLast(' ');
  if (space == CText::npos) return;
  const long long count = static_cast<long long>(text.Length()) - static_cast<long long>(space) - 3;
  if (count <= 0) {
    text.Clear();
    return;
  }
  text.Keep(space + 1, static_cast<size_t>(count));
}

void ReadMessages(SRV_PROC* srvproc, const CText& command, int32_t message, CommandState& state) {
  const bool deleting = command.Find("DEL") != CText::npos;
  const bool headers = command.Find("TOP") != CText::npos;
  auto fetch = [&](int32_t number) {
    return headers ? state.session.Top(state.response, number)
                   : state.session.Retr(state.response, number);
  };

  if (message == 0) {
    while (fetch(state.counter)) {
      const bool delivered = SendRow(state.response, state.counter, srvproc);
      // A message is deleted only once its row has reached the client; when
      // the client has gone, the walk ends and the message stays.
      if (deleting) {
        if (!delivered) break;
        state.session.Dele(state.counter);
      }
      state.response.Clear();
      if (state.counter == INT32_MAX) break;
      ++state.counter;
    }
  } else if (fetch(message)) {
    const bool delivered = SendRow(state.response, message, srvproc);
    if (!deleting || delivered) {
      if (deleting) state.session.Dele(message);
      state.counter = 2;
    }
    state.response.Clear();
  }
  if (deleting) state.session.Quit();
}

void ListMessages(SRV_PROC* srvproc, int32_t message, CommandState& state) {
  if (message == 0) {
    while (state.session.List(state.response, state.counter)) {
      ShortenListing(state.response);
      SendRow(state.response, state.counter, srvproc);
      state.response.Clear();
      if (state.counter == INT32_MAX) break;
      ++state.counter;
    }
    return;
  }
  if (!state.session.List(state.response, message)) return;
  ShortenListing(state.response);
  SendRow(state.response, message, srvproc);
  state.counter = 2;
}

void DeleteMessages(int32_t message, CommandState& state) {
  if (message == 0) {
    while (state.session.Dele(state.counter) && state.counter < INT32_MAX) ++state.counter;
  } else if (state.session.Dele(message)) {
    // The count says whether the deletion was accepted.
    state.counter = 2;
  }
  state.session.Quit();
}

}  // namespace

CommandState::CommandState() : session(kRowLimit, kIdleLimitMs) {}

bool SendRow(const CText& text, int32_t message, SRV_PROC* srvproc) {
  const int length = text.Length() > static_cast<size_t>(kRowLimit) ? kRowLimit
                                                                     : static_cast<int>(text.Length());
  int32_t id = message;
  srv_setcoldata(srvproc, 1, &id);
  srv_setcoldata(srvproc, 2, const_cast<char*>(text.Data()));
  srv_setcollen(srvproc, 2, length);
  return srv_sendrow(srvproc) != FAIL;
}

void RunCommand(SRV_PROC* srvproc, const CText& server, const CText& user, const CText& password,
                const CText& command, int32_t message, CommandState& state) {
  if (!state.session.Login(server, user, password)) throw CText(messages::kNoConnection);
  DescribeColumns(srvproc);
  if (command.StartsWith("READ")) {
    ReadMessages(srvproc, command, message, state);
  } else if (command.Equals("LIST")) {
    ListMessages(srvproc, message, state);
  } else if (command.Equals("DEL")) {
    DeleteMessages(message, state);
  }
  srv_senddone(srvproc, SRV_DONE_COUNT, 0, state.counter - 1);
}
