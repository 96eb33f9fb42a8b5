// QR codes of the web address.
#include "shell/QrCode.h"

#include <qrencode.h>

#include <memory>

TQrMatrix MakeQrMatrix(const std::string& text) {
  std::unique_ptr<QRcode, void (*)(QRcode*)> code(
      QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M), QRcode_free);
  if (!code) return {};
  const int n = code->width;
  TQrMatrix matrix(static_cast<std::size_t>(n), std::vector<bool>(static_cast<std::size_t>(n)));
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x)
      matrix[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] =
          (code->data[y * n + x] & 1) != 0;
  return matrix;
}

std::string QrHalfBlockText(const TQrMatrix& matrix, int quiet) {
  const int n = static_cast<int>(matrix.size());
  const int side = n + 2 * quiet;
  auto light = [&](int row, int column) {
    const int y = row - quiet;
    const int x = column - quiet;
    if (y < 0 || x < 0 || y >= n || x >= n) return true;
    return !matrix[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
  };
  std::string text;
  for (int row = 0; row < side; row += 2) {
    for (int column = 0; column < side; ++column) {
      const bool top = light(row, column);
      const bool bottom = row + 1 < side ? light(row + 1, column) : false;
      text += top ? (bottom ? "\u2588" : "\u2580") : (bottom ? "\u2584" : " ");
    }
    text += '\n';
  }
  return text;
}
