// Test main: a verifier report fails the running test.
#include <gtest/gtest.h>
#include <hostkernel/harness.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    hk::SetViolationHandler([](const std::string& message) { ADD_FAILURE() << message; });
    return RUN_ALL_TESTS();
}
