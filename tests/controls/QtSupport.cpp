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

// The system's font library keeps its caches until exit; that is not ours.
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
