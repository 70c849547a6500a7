// fake-pop3-server: the tests' scriptable POP3 server as a program of its
// own, for tests whose client runs in another process (the Windows library
// under Wine). It listens on 127.0.0.1 only, runs until it is told to stop,
// has served the given number of connections, or its time is up, and then
// prints what was deleted.
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/fake_pop3_server.h"

namespace {

const char kHelp[] =
    "Usage: fake-pop3-server [OPTIONS]\n"
    "\n"
    "Serves a POP3 mailbox on 127.0.0.1, one connection at a time. Prints\n"
    "\"listening on 127.0.0.1:PORT\" once it accepts connections, and at the\n"
    "end \"deleted: N...\" (numbers in the first mailbox) and \"remaining: N\".\n"
    "\n"
    "Mailbox (messages in the order given; both options can be repeated):\n"
    "    --message FILE        one message from a file; LF line ends become CR LF\n"
    "    --generate COUNT[xSIZE]  COUNT generated messages of about SIZE bytes\n"
    "                          (default 300)\n"
    "    --raw                 keep the files' bytes as they are\n"
    "\n"
    "Behaviour:\n"
    "    --port N              port to listen on (default 110; 0 for any free one)\n"
    "    --user NAME, --password WORD   the only credentials accepted\n"
    "                          (default: any)\n"
    "    --refuse-password     refuse every password\n"
    "    --refuse N            refuse every request for message N\n"
    "    --greeting TEXT       the greeting line (CR LF is added)\n"
    "    --chunk N             send answers in writes of at most N bytes\n"
    "    --pause MS            pause between those writes\n"
    "    --status-apart        send a status line apart from its body\n"
    "    --close-at WHERE[@K]  at WHERE, send K bytes (default 0) and close\n"
    "    --silent-at WHERE[@K] at WHERE, send K bytes (default 0), then nothing\n"
    "    --canned WHERE=BYTES  at WHERE, send BYTES instead of the answer\n"
    "                          (\\r \\n \\t \\0 \\\\ and \\xHH are understood)\n"
    "                          WHERE is \"greeting\" or a command line such as\n"
    "                          \"RETR 2\" (\"RETR\" alone matches every RETR)\n"
    "\n"
    "Ending:\n"
    "    --connections N       stop once N connections have ended\n"
    "    --timeout SECONDS     stop after this long (default 300)\n"
    "    --log FILE            write every command line received, as received\n";

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "fake-pop3-server: %s\nTry 'fake-pop3-server --help'.\n", what.c_str());
  std::exit(2);
}

long Number(const std::string& text, const char* option) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 0) Fail(std::string("bad number for ") + option);
  return value;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    switch (c) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '0': out += '\0'; break;
      case 'x':
        if (i + 2 < text.size()) {
          out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
          i += 2;
        }
        break;
      default: out += c;
    }
  }
  return out;
}

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) Fail("cannot read " + path);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

// A plain message of about `size` bytes; one body line begins with a dot, so
// the mailbox exercises dot-stuffing.
std::string Generated(size_t number, size_t size) {
  std::string text = "From: sender" + std::to_string(number) + "@example.test\r\n" +
                     "To: mailbox@example.test\r\n" + "Subject: Message " +
                     std::to_string(number) + "\r\n\r\n" + "Message " + std::to_string(number) +
                     ".\r\n.A line that begins with a dot.\r\n";
  for (size_t line = 1; text.size() < size; ++line) {
    text += "Line " + std::to_string(line) + " of message " + std::to_string(number) + ".\r\n";
  }
  return text;
}

// WHERE as the command line understands it: "greeting" is the greeting.
std::string Where(const std::string& text) { return text == "greeting" ? std::string() : text; }

FakePop3Fault CutFault(const std::string& value, bool silent, const char* option) {
  const size_t at = value.rfind('@');
  const std::string where = at == std::string::npos ? value : value.substr(0, at);
  const size_t after = at == std::string::npos ? 0 : Number(value.substr(at + 1), option);
  return silent ? FakePop3Fault::SilentAt(Where(where), after)
                : FakePop3Fault::CloseAt(Where(where), after);
}

}  // namespace

int main(int argc, char** argv) {
  FakePop3Options options;
  bool raw = false;
  std::vector<std::string> files;
  std::vector<std::pair<size_t, size_t>> generated;  // count, size; in order with files
  std::vector<bool> order;                            // true: next file, false: next generated
  long connections = 0;
  long timeoutSeconds = 300;
  std::string logPath;

  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(option + " needs a value");
      return argv[++i];
    };
    if (option == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (option == "--message") {
      files.push_back(value());
      order.push_back(true);
    } else if (option == "--generate") {
      const std::string shape = value();
      const size_t x = shape.find('x');
      const size_t count = Number(shape.substr(0, x), "--generate");
      const size_t size = x == std::string::npos ? 300 : Number(shape.substr(x + 1), "--generate");
      generated.emplace_back(count, size);
      order.push_back(false);
    } else if (option == "--raw") {
      raw = true;
    } else if (option == "--port") {
      const long port = Number(value(), "--port");
      if (port > 65535) Fail("bad number for --port");
      options.port = static_cast<uint16_t>(port);
    } else if (option == "--user") {
      options.user = value();
    } else if (option == "--password") {
      options.password = value();
    } else if (option == "--refuse-password") {
      options.refusePassword = true;
    } else if (option == "--refuse") {
      options.refusedMessages.insert(static_cast<int>(Number(value(), "--refuse")));
    } else if (option == "--greeting") {
      options.greeting = Unescape(value()) + "\r\n";
    } else if (option == "--chunk") {
      options.chunkSize = Number(value(), "--chunk");
    } else if (option == "--pause") {
      options.chunkPauseMs = static_cast<unsigned>(Number(value(), "--pause"));
    } else if (option == "--status-apart") {
      options.statusApart = true;
    } else if (option == "--close-at") {
      options.faults.push_back(CutFault(value(), false, "--close-at"));
    } else if (option == "--silent-at") {
      options.faults.push_back(CutFault(value(), true, "--silent-at"));
    } else if (option == "--canned") {
      const std::string setting = value();
      const size_t equals = setting.find('=');
      if (equals == std::string::npos) Fail("--canned needs WHERE=BYTES");
      options.faults.push_back(
          FakePop3Fault::Canned(Where(setting.substr(0, equals)), Unescape(setting.substr(equals + 1))));
    } else if (option == "--connections") {
      connections = Number(value(), "--connections");
    } else if (option == "--timeout") {
      timeoutSeconds = Number(value(), "--timeout");
    } else if (option == "--log") {
      logPath = value();
    } else {
      Fail("unknown option " + option);
    }
  }

  size_t nextFile = 0;
  size_t nextGenerated = 0;
  for (const bool isFile : order) {
    if (isFile) {
      const std::string bytes = ReadFile(files[nextFile++]);
      options.messages.push_back(raw ? bytes : WithCrLf(bytes));
      continue;
    }
    const auto [count, size] = generated[nextGenerated++];
    for (size_t n = 0; n < count; ++n) {
      options.messages.push_back(Generated(options.messages.size() + 1, size));
    }
  }

  // The server's thread inherits this mask, so the signals reach only the
  // wait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    FakePop3Server server(options);
    std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(server.Port()));
    std::fflush(stdout);

    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
      const timespec slice = {0, 100 * 1000 * 1000};
      if (sigtimedwait(&stopSignals, nullptr, &slice) > 0) break;
      if (connections > 0 && server.EndedConnections() >= connections) break;
      if (std::chrono::steady_clock::now() >= until) {
        std::fprintf(stderr, "fake-pop3-server: stopping after %ld s\n", timeoutSeconds);
        break;
      }
    }

    if (!logPath.empty()) {
      std::ofstream log(logPath, std::ios::binary);
      for (const FakePop3Server::LoggedLine& line : server.Log()) log << line.bytes;
    }
    std::printf("deleted:");
    for (const int number : server.Deleted()) std::printf(" %d", number);
    std::printf("\nremaining: %zu\n", server.Mailbox().size());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "fake-pop3-server: %s\n", error.what());
    return 1;
  }
  return 0;
}
