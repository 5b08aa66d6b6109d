#include <gtest/gtest.h>

#include <QApplication>

#include "tests/support/TestSupport.h"

int main(int argc, char** argv) {
    testsupport::PrepareEnvironment();
    ::testing::InitGoogleTest(&argc, argv);
    int rc;
    {
        QApplication app(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    testsupport::CleanEnvironment();
    return rc;
}
