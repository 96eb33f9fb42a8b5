// INI file reading and atomic writing.
#include "base/IniFile.h"

#include "base/FileUtil.h"

#include <sys/stat.h>

#include <climits>
#include <fstream>
#include <iterator>

namespace {

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

}  // namespace

IniFile::IniFile(std::string path) : path_(std::move(path)) {
  if (!IsRegularFile(path_)) return;
  std::ifstream in(path_, std::ios::binary);
  if (!in) return;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Section* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(pos, end - pos));
    pos = end;
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n') ++pos;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      const size_t close = line.find(']');
      const std::string name =
          Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      AddSection(name);
      current = FindSection(name);
      continue;
    }
    const size_t eq = line.find('=');
    if (!current || eq == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, eq));
    if (key.empty()) continue;
    bool seen = false;
    for (const auto& e : current->entries) seen = seen || SameNoCase(e.key, key);
    if (!seen) current->entries.push_back({key, Trim(line.substr(eq + 1))});
  }
}

IniFile::Section* IniFile::FindSection(const std::string& name) {
  for (auto& s : sections_) {
    if (SameNoCase(s.name, name)) return &s;
  }
  return nullptr;
}

const IniFile::Section* IniFile::FindSection(const std::string& name) const {
  for (const auto& s : sections_) {
    if (SameNoCase(s.name, name)) return &s;
  }
  return nullptr;
}

bool IniFile::HasSection(const std::string& section) const { return FindSection(section); }

bool IniFile::HasKey(const std::string& section, const std::string& key) const {
  return Find(section, key).has_value();
}

std::optional<std::string> IniFile::Find(const std::string& section, const std::string& key) const {
  if (const Section* s = FindSection(section)) {
    for (const auto& e : s->entries) {
      if (SameNoCase(e.key, key)) return e.value;
    }
  }
  return std::nullopt;
}

std::vector<std::string> IniFile::Sections() const {
  std::vector<std::string> names;
  for (const auto& s : sections_) names.push_back(s.name);
  return names;
}

std::vector<std::string> IniFile::Keys(const std::string& section) const {
  std::vector<std::string> keys;
  if (const Section* s = FindSection(section)) {
    for (const auto& e : s->entries) keys.push_back(e.key);
  }
  return keys;
}

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& fallback) const {
  return Find(section, key).value_or(fallback);
}

int IniFile::ReadInteger(const std::string& section, const std::string& key, int fallback) const {
  const auto text = Find(section, key);
  if (!text) return fallback;
  return ParseInteger(*text).value_or(fallback);
}

bool IniFile::ReadBool(const std::string& section, const std::string& key, bool fallback) const {
  return ReadInteger(section, key, fallback ? 1 : 0) != 0;
}

void IniFile::WriteString(const std::string& section, const std::string& key,
                          const std::string& value) {
  AddSection(section);
  Section* s = FindSection(section);
  for (auto& e : s->entries) {
    if (SameNoCase(e.key, key)) {
      e.value = value;
      return;
    }
  }
  s->entries.push_back({key, value});
}

void IniFile::WriteInteger(const std::string& section, const std::string& key, long long value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void IniFile::AddSection(const std::string& section) {
  if (!FindSection(section)) sections_.push_back({section, {}});
}

bool IniFile::DeleteKey(const std::string& section, const std::string& key) {
  if (Section* s = FindSection(section)) {
    for (auto it = s->entries.begin(); it != s->entries.end(); ++it) {
      if (SameNoCase(it->key, key)) {
        s->entries.erase(it);
        return true;
      }
    }
  }
  return false;
}

void IniFile::EraseSection(const std::string& section) {
  for (auto it = sections_.begin(); it != sections_.end(); ++it) {
    if (SameNoCase(it->name, section)) {
      sections_.erase(it);
      return;
    }
  }
}

std::string IniFile::ToText() const {
  std::string out;
  for (const auto& s : sections_) {
    if (!out.empty()) out += "\r\n";
    out += "[" + s.name + "]\r\n";
    for (const auto& e : s.entries) out += e.key + "=" + e.value + "\r\n";
  }
  return out;
}

bool IniFile::Save(bool flush) const {
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && (!S_ISREG(st.st_mode) || !(st.st_mode & S_IWUSR))) {
    return false;  // read-only (or not a file): kept unchanged
  }
  return WriteFileAtomically(path_, ToText(), flush);
}

std::optional<int> IniFile::ParseInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) return std::nullopt;
  unsigned long long value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    value = value * base + digit;
    if (value > 0xFFFFFFFFull) return std::nullopt;
  }
  long long result;
  if (base == 16) {
    result = static_cast<int>(static_cast<unsigned int>(value));
  } else {
    if (value > static_cast<unsigned long long>(INT_MAX) + (negative ? 1 : 0)) return std::nullopt;
    result = static_cast<long long>(value);
  }
  if (negative) result = -result;
  if (result < INT_MIN || result > INT_MAX) return std::nullopt;
  return static_cast<int>(result);
}
