#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "chunked_source.hpp"
#include "dialogue/driver.hpp"
#include "dialogue/line_reader.hpp"
#include "dialogue/output_record.hpp"
#include "dialogue/value_field.hpp"
#include "numeric_text.hpp"

namespace nerido::dialogue {
namespace {

using testing::hex;

// A 64-column line holding `text` from column 1, blanks after it.
LineBuffer line_of(std::string_view text) {
  LineBuffer line;
  line.fill(' ');
  text.copy(line.data(), std::min(text.size(), line.size()));
  return line;
}

constexpr float unchanged = 7.25f;
constexpr float inf = std::numeric_limits<float>::infinity();

TEST(ReadFixed, FieldConversions) {
  struct Case {
    const char* field;
    float value;  // expected, compared bit for bit (so +0 differs from -0)
  };
  const Case cases[] = {
      {"12", 0.00012f},
      {"12.", 12.0f},
      {"1.5", 1.5f},
      {".5", 0.5f},
      {"0.5", 0.5f},
      {"-2.", -2.0f},
      {"+5.", 5.0f},
      {"1 2", 0.00012f},
      {"1 2.", 12.0f},
      {"- 5.", -5.0f},
      {"5 .5", 5.5f},
      {"", 0.0f},
      {"-", 0.0f},
      {"+", 0.0f},
      {".", 0.0f},
      {"-.", 0.0f},
      {"0", 0.0f},
      {"-0.0", 0.0f},
      {",", 0.0f},
      {"1,", 0.00001f},
      {"--5", 0.0f},
      {"0 5", 0.00005f},
      {"0 0.05", 0.05f},
      {"0 0", 0.0f},
      {"+-5", 0.0f},
      {"-E5", 0.0f},
      {"1.5E3", 1500.0f},
      {"1.5D3", 1500.0f},
      {"1.5e3", 1500.0f},
      {"1.5d3", 1500.0f},
      {"1.5E+3", 1500.0f},
      {"1.5E 3", 1500.0f},
      {"1.5 E3", 1500.0f},
      {"1.5+3", 1500.0f},
      {"1.5-3", 0.0015f},
      {"1.5E-3", 0.0015f},
      {"1.5E3 0", 1.5e30f},
      {"1E3", 0.01f},
      {"E5", 0.0f},
      {"1,5", 0.00001f},
      {"1.5,7", 1.5f},
      {"1234567890", 12345.6787109375f},
      {"123456789.", 123456792.0f},
      {"     12345", 0.12345f},
      {"9E99", inf},
      {"1.E39", inf},
      {"-1.E39", -inf},
      {"1.E-99", 0.0f},
      {"-1.E-99", -0.0f},
      {"28.", 28.0f},
      {"-0.000", 0.0f},
      {"0.0001E+4", 1.0f},
      {"1.5E99999", inf},
      {"1.5E-99999", 0.0f},
      {"  -  3.", -3.0f},
      {"         -", 0.0f},  // a sign alone in column 10
      {"         +", 0.0f},
      {"-        5", -0.00005f},
  };
  for (const Case& c : cases) {
    float value = unchanged;
    EXPECT_EQ(read_fixed(line_of(c.field), value), conversion_ok) << '"' << c.field << '"';
    EXPECT_EQ(hex(value), hex(c.value)) << '"' << c.field << '"';
  }
}

TEST(ReadFixed, RejectedFieldsLeaveTheValueAlone) {
  const char* const cases[] = {
      "1.5Q3", "1E3.", "E",          "E+",         "1.5E",       "5-",         "ABC",
      "1..5",  "1.5.", "12X",        "\t5.",       "5.\t",       "1.5E+",      "1.5E -",
      "Q",     "5..",  "5        -", "5        E", "5       E-", "5.       D",
  };
  for (const char* field : cases) {
    float value = unchanged;
    EXPECT_EQ(read_fixed(line_of(field), value), unexpected_character) << '"' << field << '"';
    EXPECT_EQ(value, unchanged) << '"' << field << '"';
  }
  // A NUL before the number and a byte above 127 alone.
  for (std::string_view field : {std::string_view("\0"
                                                  "5.",
                                                  3),
                                 std::string_view("\xff")}) {
    float value = unchanged;
    EXPECT_EQ(read_fixed(line_of(field), value), unexpected_character);
    EXPECT_EQ(value, unchanged);
  }
}

TEST(ReadFixed, ColumnElevenIsNeverRead) {
  float value = unchanged;
  EXPECT_EQ(read_fixed(line_of("1234567890."), value), conversion_ok);
  EXPECT_EQ(hex(value), hex(12345.6787109375f));
  EXPECT_EQ(read_fixed(line_of("     12345XYZ"), value), conversion_ok);
  EXPECT_EQ(hex(value), hex(0.12345f));
  EXPECT_EQ(read_fixed(line_of("1.5E3     junk"), value), conversion_ok);
  EXPECT_EQ(value, 1500.0f);
}

std::string real_field(float v) {
  Record record;
  put_real(record, v);
  return std::string(record.text());
}

std::string int_field(std::int32_t v) {
  Record record;
  put_int(record, v);
  return std::string(record.text());
}

TEST(PutReal, SevenColumnsTwoDecimals) {
  struct Case {
    float value;
    const char* field;
  };
  const Case cases[] = {
      {4.74f, "   4.74"},
      {0.5f, "   0.50"},
      {-0.5f, "  -0.50"},
      {0.0f, "   0.00"},
      {-0.0f, "   0.00"},
      {-0.004f, "   0.00"},
      {9999.99f, "9999.99"},
      {9999.996f, "*******"},
      {100000.0f, "*******"},
      {-999.99f, "-999.99"},
      {-1000.0f, "*******"},
      {1234.567f, "1234.57"},
      {113.333725f, " 113.33"},
      {114.205574f, " 114.21"},
      {116.329132f, " 116.33"},
      {0.005f, "   0.00"},  // 0.004999999888 in single precision
      {0.125f, "   0.12"},
      {-0.006f, "  -0.01"},
      {inf, "*******"},
      {-inf, "*******"},
      {std::numeric_limits<float>::quiet_NaN(), "*******"},
      {3.4e38f, "*******"},
      {1e-45f, "   0.00"},
      // Hundredths from 0.005 to 0.1, each sign (no "-0.05" for 0.05).
      {-0.005f, "   0.00"},
      {0.0051f, "   0.01"},
      {-0.0051f, "  -0.01"},
      {0.015f, "   0.01"},  // 0.0149999997
      {0.025f, "   0.03"},  // 0.0250000004
      {-0.025f, "  -0.03"},
      {0.05f, "   0.05"},
      {-0.05f, "  -0.05"},
      {0.095f, "   0.09"},  // 0.0949999988
      {0.1f, "   0.10"},
      {-0.1f, "  -0.10"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(real_field(c.value), c.field) << hex(c.value);
  }
}

// The field rule against the C library's correctly rounded "%.2f" over many
// values, ties included (both round the exact binary value): over the whole
// field, and over the hundredths around zero.
TEST(PutReal, AgreesWithTheCLibraryRounding) {
  std::uint32_t state = 12345u;
  for (int i = 0; i < 30000; ++i) {
    state = state * 1664525u + 1013904223u;
    const double unit = static_cast<double>(state) / 4294967296.0;
    const auto v = static_cast<float>(i < 20000 ? -1200.0 + unit * 12000.0 : -0.2 + unit * 0.4);
    char expected[64];
    std::snprintf(expected, sizeof expected, "%7.2f", static_cast<double>(v));
    std::string want = expected;
    if (want == "  -0.00") {
      want = "   0.00";
    }
    if (want.size() > 7) {
      want = "*******";
    }
    ASSERT_EQ(real_field(v), want) << hex(v);
  }
}

TEST(PutInt, FiveColumns) {
  struct Case {
    std::int32_t value;
    const char* field;
  };
  const Case cases[] = {
      {115, "  115"},    {0, "    0"},
      {-1, "   -1"},     {123456, "*****"},
      {99999, "99999"},  {-9999, "-9999"},
      {-10000, "*****"}, {std::numeric_limits<std::int32_t>::min(), "*****"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(int_field(c.value), c.field) << c.value;
  }
}

TEST(Records, LinesAndPromptsReachTheSinkOnlyWhenEnded) {
  StringSink out;
  Record record;
  put_text(record, "I/O Error");
  put_int(record, unexpected_character);
  put_text(record, " while reading value!");
  EXPECT_EQ(out.text(), "");
  end_line(record, out);
  put_text(record, "Enter SST (deg C) > ");
  end_prompt(record, out);  // flushes the line before it too
  EXPECT_EQ(out.text(), "I/O Error  115 while reading value!\nEnter SST (deg C) > ");
}

// Writes beyond the 8 KiB buffer between two flushes, in pieces of these
// sizes: every byte arrives, in order.
TEST(ByteSink, OutputBeyondTheBufferArrivesWholeAndInOrder) {
  const std::vector<std::size_t> cases[] = {
      {8192}, {8193}, {8191, 2}, {1, 8192}, {100, 9000, 100}, {5000, 5000, 5000}, {20000},
  };
  for (const auto& sizes : cases) {
    StringSink out;
    std::string expected;
    for (std::size_t size : sizes) {
      std::string piece;
      for (std::size_t i = 0; i < size; ++i) {
        piece += static_cast<char>((expected.size() + i) % 251);  // a prime period
      }
      expected += piece;
      out.write(piece);
    }
    out.flush();
    EXPECT_EQ(out.text(), expected) << sizes.size() << " writes, the first " << sizes[0];
  }
}

// Reads every line from `in` with cread and describes each read.
std::string read_all(LookaheadInput& in) {
  std::string trace;
  for (int guard = 0; guard < 10; ++guard) {
    LineBuffer line;
    std::int32_t status = -1;
    const LineRead read = cread(in, line, status);
    if (read == LineRead::ended_while_filling) {
      return trace + "<fmt>";
    }
    if (read == LineRead::ended_before_start) {
      return trace + "<read start>";
    }
    std::string text(line.begin(), line.end());
    text.erase(text.find_last_not_of(' ') + 1);
    trace += std::to_string(status) + "[" + text + "]";
  }
  return trace + "<no end>";
}

TEST(Cread, ClassifiesAndPreparesLines) {
  struct Case {
    std::string_view input;
    std::string reads;
  };
  const std::string seventy(70, '7');
  const std::string sixty_four(64, '6');
  const Case cases[] = {
      {"\n", "1[]<fmt>"},
      {"      \n", "1[]<fmt>"},
      {"\t\n", "0[\t.]<fmt>"},
      {"no\n", "2[NO]<fmt>"},
      {"nope\nnonsense\n", "2[NOPE]2[NONSENSE]<fmt>"},
      {"n\n", "0[N]<fmt>"},
      {"ex\nEXIT\nexact\nEx\n", "3[EX]3[EXIT]3[EXACT]3[EX]<fmt>"},
      {"12\n12.5\n 12\n", "0[12.]0[12.5]0[ 12.]<fmt>"},
      {"1e3\n-3\n1.5e1\n", "0[1E3.]0[-3.]0[1.5E1]<fmt>"},
      {"abc\nq\n", "0[ABC]0[Q]<fmt>"},
      {"x\n", "0[X]<fmt>"},
      {"28\r\n3000\r\n", "0[28.]0[3000.]<fmt>"},
      {"a\rb\n", "0[A\rB]<fmt>"},
      {"5\r", "0[5\r.]<read start>"},
      {"", "<fmt>"},
      {"28\n3000", "0[28.]0[3000.]<read start>"},
      {"\xff"
       "5\n",
       "0[\xff"
       "5]<fmt>"},
  };
  using namespace std::string_literals;
  const std::string long_lines[][2] = {
      {"\0"
       "5\n"s,
       "0[\0"
       "5.]<fmt>"s},
      {seventy + "\nnext\n", "0[" + seventy.substr(0, 64) + "]0[NEXT]<fmt>"},
      {sixty_four + "\r\n1\n", "0[" + sixty_four + "]0[1.]<fmt>"},
      {sixty_four, "0[" + sixty_four + "]<read start>"},
      {seventy, "0[" + seventy.substr(0, 64) + "]<read start>"},
      {std::string(63, '3') + "\r\n", "0[" + std::string(63, '3') + ".]<fmt>"},
      {sixty_four + "77\0"
                    "77\n1\n"s,
       "0[" + sixty_four + "]0[1.]<fmt>"},  // a NUL after column 64 is skipped too
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  for (const auto& [input, reads] : long_lines) {
    all.push_back({input, reads});
  }
  // Each input whole in one read, and in the pieces a terminal hands out.
  for (const Case& c : all) {
    StringSource whole(c.input);
    EXPECT_EQ(read_all(whole), c.reads) << '"' << c.input << '"';
    for (const testing::Pieces& pieces : testing::every_split) {
      testing::ChunkedSource in(c.input, pieces);
      EXPECT_EQ(read_all(in), c.reads) << '"' << c.input << "\", " << pieces.name;
      EXPECT_EQ(in.reads_after_end(), 0) << '"' << c.input << "\", " << pieces.name;
    }
  }
}

}  // namespace
}  // namespace nerido::dialogue

namespace nerido::dialogue {
namespace {

// The range messages are the calculator's own texts, kept byte for byte; the
// bounds they state must be the ones the field table checks.
TEST(RangeMessages, StateTheBoundsOfTheFieldTable) {
  for (std::size_t i = 0; i < scene_field_count; ++i) {
    const auto field = static_cast<SceneField>(i);
    const std::string message{range_message(field)};
    const std::size_t open = message.find('(');
    ASSERT_NE(open, std::string::npos) << message;
    char* end = nullptr;
    const float low = std::strtof(message.c_str() + open + 1, &end);
    ASSERT_EQ(std::string_view(end, 4), " to ") << message;
    const float high = std::strtof(end + 4, nullptr);
    EXPECT_EQ(low, field_range(field).low) << message;
    EXPECT_EQ(high, field_range(field).high) << message;
  }
}

}  // namespace
}  // namespace nerido::dialogue
