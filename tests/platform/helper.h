#pragma once

#include <string>

// What the platform tests share.

namespace platformtest {

// The path of platform_helper, the child program of the tests, built beside
// the test program.
std::string HelperPath();

}  // namespace platformtest
