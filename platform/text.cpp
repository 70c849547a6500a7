#include "platform/text.h"

#include <cstring>

CText::CText(const char* zeroTerminated) {
  if (zeroTerminated != nullptr) m_bytes.assign(zeroTerminated);
}

void CText::Assign(const char* data, size_t length) {
  m_bytes.clear();
  Append(data, length);
}

void CText::Append(const char* data, size_t length) {
  if (data == nullptr || length == 0) return;
  const void* zero = std::memchr(data, 0, length);
  if (zero != nullptr) length = static_cast<size_t>(static_cast<const char*>(zero) - data);
  m_bytes.append(data, length);
}

void CText::Truncate(size_t length) {
  if (length < m_bytes.size()) m_bytes.resize(length);
}

void CText::Keep(size_t start, size_t count) {
  if (start >= m_bytes.size()) {
    m_bytes.clear();
    return;
  }
  m_bytes = m_bytes.substr(start, count);
}

size_t CText::Find(const char* pattern, size_t from) const {
  const size_t at = m_bytes.find(pattern, from);
  return at == std::string::npos ? npos : at;
}

size_t CText::FindLast(char byte) const {
  const size_t at = m_bytes.rfind(byte);
  return at == std::string::npos ? npos : at;
}

bool CText::Equals(const char* keyword) const { return m_bytes == keyword; }

bool CText::StartsWith(const char* prefix) const {
  return m_bytes.compare(0, std::strlen(prefix), prefix) == 0;
}

void CText::UpperCase() {
  if (!m_bytes.empty()) platform::UpperCaseInPlace(&m_bytes[0], m_bytes.size());
}
