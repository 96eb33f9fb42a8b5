// Linked into every test program: before any test runs, the environment says
// that nothing may leave this machine (network/AddressRules.h), so the
// program's code under test and every program a test starts look for no
// router and ask no host beyond loopback, whatever flag a test forgets.
#include <cstdlib>

namespace {

const bool kLoopbackOnly = [] {
  ::setenv("MIRELO_LOOPBACK_ONLY", "1", 1);
  return true;
}();

}  // namespace
