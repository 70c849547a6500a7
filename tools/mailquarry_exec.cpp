// mailquarry-exec: calls the procedure the way the database server does,
// from the command line, and shows what it sent back.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "host/call.h"
#include "host/library.h"
#include "host/params.h"

namespace {

const char kHelp[] =
    "Usage: mailquarry-exec [--json] [--library PATH] PARAMS...\n"
    "\n"
    "Loads the mailquarry procedure library and calls it once, as a database\n"
    "server would for\n"
    "    exec master..mailquarry PARAMS\n"
    "\n"
    "PARAMS is the parameter list exactly as it follows exec master..mailquarry,\n"
    "as one shell word or several (they are joined with spaces), for example:\n"
    "    mailquarry-exec \"'127.0.0.1', 'alice', 'secret', 'read', 0\"\n"
    "\n"
    "Literals, separated by commas:\n"
    "    'text'    a varchar parameter; '' inside stands for one quote\n"
    "    123, -1   an int parameter (4 bytes)\n"
    "    NULL      an int parameter without data (any case)\n"
    "An empty list calls the procedure without parameters.\n"
    "\n"
    "Options:\n"
    "    --json          print one JSON object per line for every operation the\n"
    "                    procedure called on the host, in order, then\n"
    "                    {\"op\":\"return\",\"value\":N}; bytes >= 0x80 of a row are\n"
    "                    written as \\u00XX (read the string as Latin-1)\n"
    "    --library PATH  the procedure library to load (default: the one next to\n"
    "                    this program)\n"
    "    --help          this text\n"
    "\n"
    "Without --json the result set, the row count and the messages are shown\n"
    "as a SQL Server command-line client shows them.\n"
    "\n"
    "Exit status: 0 when the procedure returned 0 (success), 1 when it returned\n"
    "1 (failure; see its message), 2 for a usage error of this tool.\n";

int UsageError(const std::string& what) {
  std::fprintf(stderr, "mailquarry-exec: %s\nTry 'mailquarry-exec --help'.\n", what.c_str());
  return 2;
}

// Lines of a row's text, with CR LF and LF taken as line ends.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (text[i] == '\n') {
      lines.push_back(line);
      line.clear();
      continue;
    }
    line += text[i];
  }
  lines.push_back(line);
  return lines;
}

// Shows the result set, its row count and the messages as they come, the
// way a SQL Server command-line client does.
class PeoplePrinter {
 public:
  void operator()(const host::Event& event) {
    constexpr int kIdWidth = 11;
    if (event.op == "srv_describe" && event.Number("column") == 2) {
      std::printf("%-*s %s\n", kIdWidth, "id", "message");
      std::printf("%s %s\n", std::string(kIdWidth, '-').c_str(), std::string(40, '-').c_str());
    } else if (event.op == "srv_sendrow") {
      const std::vector<std::string> lines = SplitLines(event.Text("message"));
      std::printf("%-*lld %s\n", kIdWidth, event.Number("id"), lines[0].c_str());
      const std::string indent(kIdWidth + 1, ' ');
      for (size_t i = 1; i < lines.size(); ++i) {
        std::printf("%s%s\n", indent.c_str(), lines[i].c_str());
      }
    } else if (event.op == "srv_sendmsg") {
      std::printf("Msg %lld, Level %lld, State %lld, Line %lld\n", event.Number("number"),
                  event.Number("class"), event.Number("state"), event.Number("line"));
      std::printf("%s\n", event.Text("text").c_str());
    } else if (event.op == "srv_senddone" && (event.Number("status") & SRV_DONE_COUNT) != 0) {
      const long long count = event.Number("count");
      std::printf("\n(%lld row%s affected)\n", count, count == 1 ? "" : "s");
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  std::string library = host::Library::DefaultPath();
  std::string text;
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnd && arg == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (!optionsEnd && arg == "--json") {
      json = true;
    } else if (!optionsEnd && arg == "--library") {
      if (++i == argc) return UsageError("--library needs a path");
      library = argv[i];
    } else if (!optionsEnd && arg == "--") {
      optionsEnd = true;
    } else if (!optionsEnd && arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      return UsageError("unknown option " + arg);
    } else {
      if (!text.empty()) text += ' ';
      text += arg;
    }
  }

  std::vector<host::Param> params;
  std::string error;
  if (!host::ParseParams(text, &params, &error)) return UsageError(error);

  try {
    host::Library procedure(library);
    host::Call call(params);
    // Everything is written out as the procedure sends it and nothing is
    // kept, so the tool's memory does not grow with the mail it shows.
    if (json) {
      call.Observe([](const host::Event& event) { std::printf("%s\n", host::ToJson(event).c_str()); },
                   false);
    } else {
      call.Observe(PeoplePrinter(), false);
    }
    const int value = procedure.Execute(call);
    if (json) std::printf("{\"op\":\"return\",\"value\":%d}\n", value);
    std::fflush(stdout);
    return value == XP_NOERROR ? 0 : 1;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "mailquarry-exec: %s\n", failure.what());
    return 2;
  }
}
