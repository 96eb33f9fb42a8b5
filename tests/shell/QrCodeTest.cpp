// QR codes of the web address, decoded back by the system's decoder.
#include "shell/QrCode.h"

#include "QrDecode.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

namespace {

using namespace testing_qr;

const char* const kAddresses[] = {
    "http://203.0.113.7:3724/",
    "http://203.0.113.7:3724/?key=abcdefghijklmnopqrstuvwxyz012345",
    "http://[2001:db8::1]:65535/?key=-_-_AAAAzzzz9999-_-_AAAAzzzz9999",
};

TEST(QrCode, TheMatrixDecodesToTheAddress) {
  TempFolder dir;
  for (const char* address : kAddresses) {
    const TQrMatrix m = MakeQrMatrix(address);
    ASSERT_FALSE(m.empty()) << address;
    WritePgm(m, dir / "code.pgm");
    EXPECT_EQ(address, Decode(dir / "code.pgm"));
  }
}

TEST(QrCode, TheHalfBlockTextDecodesToTheAddress) {
  TempFolder dir;
  for (const char* address : kAddresses) {
    const std::string text = QrHalfBlockText(MakeQrMatrix(address));
    const TQrMatrix m = ParseHalfBlocks(text);
    ASSERT_FALSE(m.empty());
    // The text is light on dark: the parsed modules are the code itself.
    WritePgm(m, dir / "text.pgm");
    EXPECT_EQ(address, Decode(dir / "text.pgm")) << text;
  }
}

}  // namespace
