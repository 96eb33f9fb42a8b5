// In-memory byte stream and the stream-to-text helper.
#include "net/StreamWrap1.h"

#include <cstring>

void TMemoryStream::Write(const void* bytes, std::size_t count) {
  if (count == 0) return;
  if (pos_ + count > data_.size()) data_.resize(pos_ + count);
  std::memcpy(data_.data() + pos_, bytes, count);
  pos_ += count;
}

std::size_t TMemoryStream::Read(void* bytes, std::size_t count) {
  const std::size_t n = count < data_.size() - pos_ ? count : data_.size() - pos_;
  if (n > 0) std::memcpy(bytes, data_.data() + pos_, n);
  pos_ += n;
  return n;
}

std::string StreamToText(TMemoryStream& stream) {
  std::string text(stream.Size(), '\0');
  stream.Seek(0);
  if (!text.empty()) stream.Read(text.data(), text.size());
  return text;
}

std::vector<std::string> TextToLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}
