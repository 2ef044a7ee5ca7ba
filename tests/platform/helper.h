#pragma once

#include <string>

// What the platform tests share.

namespace platformtest {

// The path of platform_helper, the child program of the tests, built beside
// the test program.
std::string HelperPath();

// Sets (or with an empty value removes) a variable of this process's
// environment.
void SetVariable(const std::string& strName, const std::string& strValue);

// True when the tests run under Wine, which does not implement everything
// that Windows does.
bool IsWine();

}  // namespace platformtest
