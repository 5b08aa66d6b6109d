#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

// Built twice, for GUI tests (WEXLO_TEST_GUI) and for the core's.
#ifdef WEXLO_TEST_GUI
#include <QApplication>
using TTestApplication = QApplication;
#else
#include <QCoreApplication>
using TTestApplication = QCoreApplication;
#endif

int main(int argc, char** argv) {
    testsupport::PrepareEnvironment();
    ::testing::InitGoogleTest(&argc, argv);
    int rc;
    {
        TTestApplication app(argc, argv);
        rc = RUN_ALL_TESTS();
    }
    testsupport::CleanEnvironment();
    return rc;
}
