// INI files: "[Section]" lines followed by "Key=Value" lines, sections and
// keys matched without regard to ASCII letter case, kept in the order they
// were first read or written, values as text. Used for the settings file, the
// cache's "CacheSettings" and the registry file. Not shared between threads.
#pragma once

#include <optional>
#include <string>
#include <vector>

class IniFile {
 public:
  // Reads the file; a missing or unreadable file reads as an empty one.
  explicit IniFile(std::string path);

  const std::string& Path() const { return path_; }

  bool HasSection(const std::string& section) const;
  bool HasKey(const std::string& section, const std::string& key) const;
  std::optional<std::string> Find(const std::string& section, const std::string& key) const;
  std::vector<std::string> Sections() const;
  std::vector<std::string> Keys(const std::string& section) const;

  // The value, or `fallback` when the section or key is missing.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& fallback) const;
  // A decimal integer, or hexadecimal after "0x", "0X" or "$"; `fallback` for
  // a missing key or a text that is not a number (ParseInteger).
  int ReadInteger(const std::string& section, const std::string& key, int fallback) const;
  // ReadInteger of the key, any value other than 0 being true.
  bool ReadBool(const std::string& section, const std::string& key, bool fallback) const;

  // Changes in memory; Save writes them. A new section or key goes last.
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, long long value);
  void WriteBool(const std::string& section, const std::string& key, bool value);
  void AddSection(const std::string& section);
  bool DeleteKey(const std::string& section, const std::string& key);
  void EraseSection(const std::string& section);

  // The file's text: sections separated by an empty line, lines ending in CR LF.
  std::string ToText() const;
  // Replaces the file atomically (fsync first when `flush`). False, with the
  // file unchanged, when it cannot be written or the owner may not write it.
  bool Save(bool flush = false) const;

  // An integer as the reading rule takes it: optional blanks and sign, then
  // decimal digits, or hexadecimal digits after "0x", "0X" or "$"; the whole
  // text must be the number and fit 32 bits (hexadecimal up to FFFFFFFF,
  // which wraps like the 32-bit value).
  static std::optional<int> ParseInteger(const std::string& text);

 private:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };
  Section* FindSection(const std::string& name);
  const Section* FindSection(const std::string& name) const;

  std::string path_;
  std::vector<Section> sections_;
};
