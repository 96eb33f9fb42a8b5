// The shared offscreen QApplication of a Qt test program.
#include "QtSupport.h"

#include <gtest/gtest.h>

namespace {
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { TestApp(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);
}  // namespace

QApplication* TestApp() {
  static QApplication* app = [] {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "qt_tests";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return app;
}

// The system's font, bus and display libraries keep their caches until exit;
// that is not ours.
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\nleak:libxcb\nleak:libX11.so\nleak:libglib-2.0."
         "so\n";
}
