// QR codes of the web address: the module matrix and its text form for a
// terminal.
#pragma once

#include <string>
#include <vector>

// Square matrix of modules, true where dark, without the quiet zone.
using TQrMatrix = std::vector<std::vector<bool>>;

// The QR code of text (byte mode, error correction level M, the smallest
// version that holds it). Empty when it cannot be made (text too long).
TQrMatrix MakeQrMatrix(const std::string& text);

// The matrix with a light margin of `quiet` modules around it, in Unicode
// half blocks: each text line shows two module rows, light modules drawn as
// the block (light on a dark terminal), dark ones as blank. Lines end in "\n".
std::string QrHalfBlockText(const TQrMatrix& matrix, int quiet = 2);
