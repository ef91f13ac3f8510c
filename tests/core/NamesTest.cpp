#include <gtest/gtest.h>

#include "tools/pvpack/Names.h"

namespace {

// Pairs of names Windows takes for one, and pairs it keeps apart; the
// letters are the capitals and small letters of each script's table.
TEST(Names, SameNameKeyFoldsCaseAsWindowsDoes) {
  struct Row {
    int line;
    const char* a;
    const char* b;
    bool same;
  };
  const Row rows[] = {
      {__LINE__, "Readme.TXT", "readme.txt", true},
      {__LINE__, "name. . ", "NAME", true},
      {__LINE__, "\xC3\xA9t\xC3\xA9", "\xC3\x89T\xC3\x89", true},      // été, ÉTÉ
      {__LINE__, "\xC3\xBF", "\xC5\xB8", true},                        // ÿ, Ÿ
      {__LINE__, "\xC4\x81\xC5\x82\xC5\xBE", "\xC4\x80\xC5\x81\xC5\xBD", true},  // āłž, ĀŁŽ
      {__LINE__, "\xC5\x82", "\xC5\x83", false},                       // ł, Ń
      {__LINE__, "\xCF\x82\xCE\xAC", "\xCE\xA3\xCE\x86", true},        // ςά, ΣΆ
      {__LINE__, "\xD1\x91\xD1\x8F", "\xD0\x81\xD0\xAF", true},        // ёя, ЁЯ
      {__LINE__, "\xC6\xA1\xC6\xB0", "\xC6\xA0\xC6\xAF", true},        // ơư, ƠƯ
      {__LINE__, "\xC3\xB7", "\xC3\x97", false},                       // ÷, ×
      {__LINE__, "a\xE9", "A\xC9", false},  // not UTF-8: bytes as they are
      {__LINE__, "a.b", "a b", false},
  };
  for (const Row& row : rows)
    EXPECT_EQ(names::SameNameKey(row.a) == names::SameNameKey(row.b), row.same)
        << "row at line " << row.line;
}

}  // namespace
