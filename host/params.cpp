#include "host/params.h"

#include <cctype>
#include <cstdint>

namespace host {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

class Parser {
 public:
  explicit Parser(const std::string& text) : m_text(text) {}

  bool Run(std::vector<Param>* params, std::string* error) {
    SkipSpace();
    if (AtEnd()) return true;
    for (;;) {
      Param param;
      if (!Literal(&param, error)) return false;
      params->push_back(param);
      SkipSpace();
      if (AtEnd()) return true;
      if (m_text[m_at] != ',') return Fail(error, "expected a comma");
      ++m_at;
      SkipSpace();
      if (AtEnd()) return Fail(error, "expected a parameter after the last comma");
    }
  }

 private:
  bool AtEnd() const { return m_at >= m_text.size(); }
  void SkipSpace() {
    while (!AtEnd() && IsSpace(m_text[m_at])) ++m_at;
  }

  bool Fail(std::string* error, const std::string& what) const {
    *error = what + " at position " + std::to_string(m_at + 1) + " of: " + m_text;
    return false;
  }

  bool Literal(Param* param, std::string* error) {
    const char c = m_text[m_at];
    if (c == '\'') return Quoted(param, error);
    if (c == '-' || c == '+' || std::isdigit(static_cast<unsigned char>(c))) {
      return Number(param, error);
    }
    if (m_text.size() - m_at >= 4) {
      std::string word = m_text.substr(m_at, 4);
      for (char& letter : word) letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
      const bool wordEnds = m_at + 4 == m_text.size() || m_text[m_at + 4] == ',' ||
                            IsSpace(m_text[m_at + 4]);
      if (word == "NULL" && wordEnds) {
        m_at += 4;
        *param = Param::Null();
        return true;
      }
    }
    return Fail(error, "expected 'text', an integer or NULL");
  }

  bool Quoted(Param* param, std::string* error) {
    const size_t start = m_at++;
    std::string value;
    for (;;) {
      if (AtEnd()) {
        m_at = start;
        return Fail(error, "unterminated quoted text");
      }
      const char c = m_text[m_at++];
      if (c != '\'') {
        value += c;
        continue;
      }
      if (!AtEnd() && m_text[m_at] == '\'') {
        value += '\'';
        ++m_at;
        continue;
      }
      *param = Param::Text(value);
      return true;
    }
  }

  bool Number(Param* param, std::string* error) {
    const size_t start = m_at;
    bool negative = false;
    if (m_text[m_at] == '-' || m_text[m_at] == '+') negative = m_text[m_at++] == '-';
    int64_t value = 0;
    size_t digits = 0;
    while (!AtEnd() && std::isdigit(static_cast<unsigned char>(m_text[m_at]))) {
      value = value * 10 + (m_text[m_at++] - '0');
      if (value > 2147483648LL) {
        m_at = start;
        return Fail(error, "integer out of the 32-bit range");
      }
      ++digits;
    }
    if (digits == 0 || (!AtEnd() && m_text[m_at] != ',' && !IsSpace(m_text[m_at]))) {
      m_at = start;
      return Fail(error, "malformed integer");
    }
    if (negative) value = -value;
    if (value > INT32_MAX) {
      m_at = start;
      return Fail(error, "integer out of the 32-bit range");
    }
    *param = Param::Int(static_cast<int32_t>(value));
    return true;
  }

  const std::string& m_text;
  size_t m_at = 0;
};

}  // namespace

bool ParseParams(const std::string& text, std::vector<Param>* params, std::string* error) {
  params->clear();
  Parser parser(text);
  return parser.Run(params, error);
}

}  // namespace host
