// Test main: a verifier report fails the running test.
#include <gtest/gtest.h>
#include <hostkernel/harness.h>

#ifdef __SANITIZE_ADDRESS__
// Stack events and status blocks used after their frame has ended are the classic fault of a
// synchronous request that returns early: ASan finds them only with fake stacks switched on.
extern "C" const char* __asan_default_options() { return "detect_stack_use_after_return=1"; }
#endif

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    hk::SetViolationHandler([](const std::string& message) { ADD_FAILURE() << message; });
    return RUN_ALL_TESTS();
}
