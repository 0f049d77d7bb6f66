// For death tests of the file store: runs a body that must end the process through the fatal
// internal error and gives what the error appended to "corvexaerror.log", so a test can see
// which unit fired. The caller's current directory must be a DeathTestDir (testing/temp_dir.h),
// which a death test's child shares however GoogleTest starts it. Tests only.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "testing/temp_dir.h"

inline std::string FatalErrorOf(const std::function<void()>& body) {
  std::filesystem::remove("corvexaerror.log");
  EXPECT_DEATH(body(), "");
  return ReadFileBytes("corvexaerror.log");
}
