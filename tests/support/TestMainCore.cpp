#include <gtest/gtest.h>

#include <QCoreApplication>

#include "tests/support/TestSupport.h"

int main(int argc, char** argv) {
    testsupport::PrepareEnvironment();
    ::testing::InitGoogleTest(&argc, argv);
    int rc;
    {
        QCoreApplication app(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    testsupport::CleanEnvironment();
    return rc;
}
