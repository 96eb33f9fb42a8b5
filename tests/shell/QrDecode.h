// Test helpers: a QR matrix as a picture, decoded by the system's decoder
// (zbarimg), and the terminal's half-block text read back into a matrix.
#pragma once

#include "shell/QrCode.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace testing_qr {

// Writes the modules (true: dark) as a PGM picture, scale pixels a module,
// with a light margin of 4 modules (the margin of the matrix kept as given).
inline void WritePgm(const TQrMatrix& m, const std::string& path, int scale = 6) {
  const int n = static_cast<int>(m.size());
  const int side = (n + 8) * scale;
  std::ofstream out(path, std::ios::binary);
  out << "P5\n" << side << " " << side << "\n255\n";
  for (int py = 0; py < side; ++py)
    for (int px = 0; px < side; ++px) {
      const int y = py / scale - 4, x = px / scale - 4;
      const bool dark = y >= 0 && x >= 0 && y < n && x < n && m[y][x];
      out.put(static_cast<char>(dark ? 0 : 255));
    }
}

// What zbarimg reads from the picture at path ("" when nothing).
inline std::string Decode(const std::string& path) {
  const std::string command = "zbarimg --raw -q '" + path + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "";
  std::string text;
  char buffer[512];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  ::pclose(pipe);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The modules of half-block text (block: light on top and bottom, upper
// half: light on top, lower half: light at the bottom, space: both dark).
inline TQrMatrix ParseHalfBlocks(const std::string& text) {
  TQrMatrix m;
  std::size_t p = 0;
  while (p < text.size()) {
    std::size_t end = text.find('\n', p);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(p, end - p);
    std::vector<bool> top, bottom;
    for (std::size_t i = 0; i < line.size();) {
      if (line[i] == ' ') {
        top.push_back(true);
        bottom.push_back(true);
        ++i;
        continue;
      }
      const std::string c = line.substr(i, 3);
      top.push_back(!(c == "\u2588" || c == "\u2580"));
      bottom.push_back(!(c == "\u2588" || c == "\u2584"));
      i += 3;
    }
    if (!top.empty()) {
      m.push_back(top);
      m.push_back(bottom);
    }
    p = end + 1;
  }
  return m;
}

}  // namespace testing_qr
