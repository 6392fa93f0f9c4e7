// The test program's entry: it runs its cases only on an account marked as
// the suite's own, since they replace the current user's compatibility
// settings. Listing the cases changes nothing and is always allowed.

#include "support/SuiteAccount.h"

#include <gtest/gtest.h>

#include <iostream>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests) && !suite::IsMarkedAccount()) {
        std::cerr << suite::RefusalText();
        return 2;
    }
    return RUN_ALL_TESTS();
}
