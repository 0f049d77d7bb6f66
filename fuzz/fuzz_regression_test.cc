// Every fuzz target over its stored corpus and the inputs of past findings, in the normal test
// build: what once crashed a decoder must keep passing, and the seeds must stay accepted
// without harm.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// The files below fuzz/corpus/<target> and fuzz/regressions/<target>.
std::vector<fs::path> Inputs(const std::string& target) {
  std::vector<fs::path> found;
  for (const char* kind : {"corpus", "regressions"}) {
    fs::path dir = fs::path(PELLARY_FUZZ_DIR) / kind / target;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) found.push_back(entry.path());
  }
  return found;
}

TEST(FuzzRegressions, EveryTargetOverItsCorpusAndPastFindings) {
  const struct {
    const char* target;
    void (*function)(const uint8_t*, size_t);
  } kTargets[] = {{"session", FuzzSession},      {"dispatch", FuzzDispatch},
                  {"values", FuzzValues},        {"table", FuzzTable},
                  {"profile", FuzzProfile},      {"btree", FuzzBTreeHeader},
                  {"extensions", FuzzExtensions}};
  for (const auto& t : kTargets) {
    std::vector<fs::path> inputs = Inputs(t.target);
    EXPECT_FALSE(inputs.empty()) << "no corpus for " << t.target;
    for (const fs::path& input : inputs) {
      SCOPED_TRACE(input.string());
      std::string bytes = ReadFileBytes(input.string());
      t.function(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
  }
}

}  // namespace
