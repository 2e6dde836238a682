// Every line of the committed table must come out bit for bit. The table was
// written by a Release build; the Debug and sanitizer builds run this same
// test, which is how the builds are shown to agree.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "numeric_text.hpp"
#include "pinned_table.hpp"

namespace nerido::testing {
namespace {

TEST(PinnedResults, EveryTableLineReproducesBitForBit) {
  std::ifstream file(NERIDO_PINNED_TABLE);
  ASSERT_TRUE(file) << "cannot open " << NERIDO_PINNED_TABLE;
  std::string text;
  int checked = 0;
  int line_number = 0;
  while (std::getline(file, text)) {
    ++line_number;
    if (text.empty() || text[0] == '#') {
      continue;
    }
    PinnedLine line;
    ASSERT_TRUE(parse(text, line)) << "line " << line_number;
    const std::vector<float> got = evaluate(line.kind, line.inputs);
    ASSERT_EQ(got.size(), line.outputs.size()) << "line " << line_number;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(hex(got[i]), hex(line.outputs[i]))
          << "line " << line_number << " output " << i << ": " << text;
    }
    ++checked;
  }
  EXPECT_GE(checked, 400);
}

}  // namespace
}  // namespace nerido::testing
