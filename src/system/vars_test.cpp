#include "system/vars.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

void SetEnv(const char* name, const char* value) {
#ifdef _WIN32
  SetEnvironmentVariableA(name, value);
#else
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

struct Result {
  int ok;
  std::string text;
  int length;
};

// Runs one expansion into a buffer of the given capacity, guarded by canaries on both sides.
Result Expand(const char* input, int capacity, const VarPair* vars) {
  std::string buffer(static_cast<size_t>(capacity) + 2, '#');
  int length = capacity;
  VarExpander expander;
  int ok = expander.Expand(input, &buffer[1], &length, vars);
  EXPECT_EQ('#', buffer[0]);
  EXPECT_EQ('#', buffer[buffer.size() - 1]);
  Result r{ok, std::string(buffer.c_str() + 1), length};
  if (ok) {
    EXPECT_EQ(static_cast<int>(r.text.size()), length) << "length must match the text";
  }
  return r;
}

const VarPair kX1[] = {{"X", "1"}, {nullptr, nullptr}};

TEST(VarExpander, ReplacesCommandLineVariables) {
  Result r = Expand("a%!X%b", 100, kX1);
  EXPECT_EQ(1, r.ok);
  EXPECT_EQ("a1b", r.text);

  const VarPair vars[] = {
      {"first", "one"}, {"Second", "two words"}, {"x", "third"}, {nullptr, nullptr}};
  EXPECT_EQ("one-two words-third-one", Expand("%!FIRST%-%!second%-%!X%-%!first%", 200, vars).text);

  // A variable with an empty value removes the reference; the first pair of a name wins.
  const VarPair dup[] = {{"E", ""}, {"D", "first"}, {"d", "second"}, {nullptr, nullptr}};
  EXPECT_EQ("[]first", Expand("[%!E%]%!d%", 50, dup).text);
}

TEST(VarExpander, CommandLineWinsOverEnvironmentIgnoringCase) {
  SetEnv("ZSVAR_X", "2");
  const VarPair vars[] = {{"zsvar_x", "1"}, {nullptr, nullptr}};
  EXPECT_EQ("<1>", Expand("<%!ZSVAR_X%>", 50, vars).text);
  // Without the command-line variable the environment gives its value.
  EXPECT_EQ("<2>", Expand("<%!ZSVAR_X%>", 50, kX1).text);
  EXPECT_EQ("<2>", Expand("<%!ZSVAR_X%>", 50, nullptr).text);
  SetEnv("ZSVAR_X", nullptr);
}

TEST(VarExpander, UnknownNamesAndPlainPercentSigns) {
  SetEnv("ZSVAR_UNSET", nullptr);
  EXPECT_EQ("a%ZSVAR_UNSET%b", Expand("a%!ZSVAR_UNSET%b", 100, kX1).text);
  EXPECT_EQ("100% sure, 50%", Expand("100% sure, 50%", 100, kX1).text);
  EXPECT_EQ("no references at all", Expand("no references at all", 100, kX1).text);
  EXPECT_EQ("", Expand("", 100, kX1).text);
  EXPECT_EQ("!X% and %!", Expand("!X% and %!", 100, kX1).text);
}

TEST(VarExpander, EmptyNameIsCopiedAndTheScanGoesOn) {
  EXPECT_EQ("a%!%b1c", Expand("a%!%b%!X%c", 100, kX1).text);
  EXPECT_EQ("%!%%!%", Expand("%!%%!%", 100, kX1).text);
  EXPECT_EQ("%!%", Expand("%!%", 100, kX1).text);
}

TEST(VarExpander, UnclosedReferenceSubstitutesTheRestAndEnds) {
  EXPECT_EQ("a1", Expand("a%!X", 100, kX1).text);
  // The rest after an unclosed reference is the name: nothing follows it.
  EXPECT_EQ("a%X y%", Expand("a%!X y", 100, nullptr).text);
  // A start delimiter at the very end is kept as it stands.
  EXPECT_EQ("ab%!", Expand("ab%!", 100, kX1).text);
  EXPECT_EQ("1%!", Expand("%!X%%!", 100, kX1).text);
}

TEST(VarExpander, SmallCapacityEndsAtTheLastWholePiece) {
  // Pieces: "abc", "1", "def". Each must fit with the terminator.
  EXPECT_EQ("abc1def", Expand("abc%!X%def", 8, kX1).text);
  EXPECT_EQ("abc1", Expand("abc%!X%def", 7, kX1).text);
  EXPECT_EQ("abc1", Expand("abc%!X%def", 5, kX1).text);
  EXPECT_EQ("abc", Expand("abc%!X%def", 4, kX1).text);
  EXPECT_EQ("", Expand("abc%!X%def", 3, kX1).text);
  EXPECT_EQ("", Expand("abc%!X%def", 1, kX1).text);

  const VarPair longValue[] = {{"L", "0123456789"}, {nullptr, nullptr}};
  Result r = Expand("ab%!L%cd", 12, longValue);
  EXPECT_EQ(1, r.ok);
  EXPECT_EQ("ab", r.text);
  EXPECT_EQ("ab0123456789cd", Expand("ab%!L%cd", 15, longValue).text);
}

TEST(VarExpander, MeasureGivesTheCapacityThatDropsNothing) {
  const VarPair longValue[] = {{"L", "0123456789"}, {nullptr, nullptr}};
  SetEnv("ZSVAR_UNSET", nullptr);
  const char input[] = "ab%!L%cd%!%%!ZSVAR_UNSET";
  const std::string whole = "ab0123456789cd%!%%ZSVAR_UNSET%";
  VarExpander expander;
  size_t needed = expander.Measure(input, longValue);
  EXPECT_EQ(whole.size() + 1, needed);
  EXPECT_EQ(whole, Expand(input, static_cast<int>(needed), longValue).text);
  EXPECT_EQ(1u, expander.Measure("", kX1));
  EXPECT_EQ(0u, expander.Measure(nullptr, kX1));
}

TEST(VarExpander, RefusesMissingArguments) {
  VarExpander expander;
  char out[8] = "keep";
  int length = 8;
  EXPECT_EQ(0, expander.Expand(nullptr, out, &length, kX1));
  EXPECT_EQ(0, expander.Expand("a", nullptr, &length, kX1));
  EXPECT_EQ(0, expander.Expand("a", out, nullptr, kX1));
  length = 0;
  EXPECT_EQ(0, expander.Expand("a", out, &length, kX1));
  length = -3;
  EXPECT_EQ(0, expander.Expand("a", out, &length, kX1));
  EXPECT_STREQ("keep", out);
}

TEST(VarExpander, ExpandsLongInputsWithManyReferences) {
  std::string input, expected;
  for (int i = 0; i < 2000; ++i) {
    input += "x%!X%";
    expected += "x1";
  }
  Result r = Expand(input.c_str(), static_cast<int>(input.size()) * 2 + 100, kX1);
  EXPECT_EQ(expected, r.text);
}

}  // namespace
