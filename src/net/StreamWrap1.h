// In-memory byte stream with a read position, and the stream-to-text helper
// the HTTP client's callers use on a response body.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// A growable byte buffer with a position, like a file held in memory. Writes
// go to the position (extending the buffer); reads take bytes from it.
class TMemoryStream {
 public:
  std::size_t Size() const { return data_.size(); }
  std::size_t Position() const { return pos_; }
  bool Empty() const { return data_.empty(); }
  // Moves the position; a position past the end is clamped to the end.
  void Seek(std::size_t pos) { pos_ = pos < data_.size() ? pos : data_.size(); }
  void Clear() {
    data_.clear();
    pos_ = 0;
  }
  void Write(const void* bytes, std::size_t count);
  void Write(std::string_view bytes) { Write(bytes.data(), bytes.size()); }
  // Copies up to count bytes from the position; returns how many it copied.
  std::size_t Read(void* bytes, std::size_t count);
  // All bytes, whatever the position.
  const std::string& Bytes() const { return data_; }
  // The bytes themselves, for a reader that appends to them directly; call
  // Seek afterwards if the position matters.
  std::string& Buffer() { return data_; }

 private:
  std::string data_;
  std::size_t pos_ = 0;
};

// The whole content of the stream as text; moves the stream to its start first
// and leaves the position at its end, as a read of every byte does.
std::string StreamToText(TMemoryStream& stream);

// Splits a text into lines the way a text list loads a file: CR LF, a lone CR
// and a lone LF each end a line, and a line end at the very end of the text
// adds no empty last line.
std::vector<std::string> TextToLines(std::string_view text);
