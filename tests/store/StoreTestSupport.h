#pragma once

// Shared by the store's tests: a fresh folder per case, a received entry, and
// the message of whatever a call raises.

#include <gtest/gtest.h>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/Exceptions.h"
#include "store/MessageLog.h"
#include "tests/platform/FileFaults.h"
#include "tests/support/TestSupport.h"

namespace storetest {
using namespace filefaults;

// A new folder inside the run's temporary folder, named Prefix-N.
inline std::string NewFolder(const std::string& Prefix) {
    static int counter = 0;
    const std::string dir = testsupport::TempDir() + "/" + Prefix + "-" + std::to_string(++counter);
    std::filesystem::create_directories(dir);
    return dir;
}

inline TStringList Entry(const std::string& Text, bool AutoResponse = false) {
    return ReceivedEntry("", "10.0.0.5", "13:04:05, 01/02/24", AutoResponse, Text);
}

inline std::string Raised(const std::function<void()>& Fn) {
    try {
        Fn();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(nothing raised)";
}

}  // namespace storetest
