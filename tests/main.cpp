#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
// Guarded memory (user addresses, freed requests) turns into verifier stops
// through the stand-in's own SIGSEGV handler; AddressSanitizer must let it
// install one.
extern "C" const char* __asan_default_options() { return "allow_user_segv_handler=1"; }
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The stand-in's completion threads make forked death tests unsafe; the
  // threadsafe style re-runs the test binary for each one.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
