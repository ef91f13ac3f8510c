#include <gtest/gtest.h>

#include "tools/pvpack/CodePage.h"
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

namespace {

// Known answers of code page 1252 both ways, and what is no UTF-8.
TEST(CodePage, ConvertsOnlyWhatTheCodePageHolds) {
  std::string why;
  const codepage::SingleByteTable* table = codepage::Find(1252, why);
  ASSERT_NE(table, nullptr);
  struct Row {
    int line;
    const char* utf8;
    const char* stored;  // null: refused
  };
  const Row rows[] = {
      {__LINE__, "caf\xC3\xA9", "caf\xE9"},
      {__LINE__, "\xE2\x82\xAC\xC5\xB8", "\x80\x9F"},  // €Ÿ
      {__LINE__, "\xC2\x80", nullptr},                  // U+0080, a control, is no 0x80 (€)
      {__LINE__, "\xC2\x81", nullptr},                  // U+0081: 0x81 is undefined
      {__LINE__, "\xC4\x80", nullptr},                  // Ā
      {__LINE__, "\xC3", nullptr},                      // cut off
      {__LINE__, "\xC1\xA9", nullptr},                  // overlong
      {__LINE__, "\xE0\x81\xA9", nullptr},              // overlong
      {__LINE__, "\xED\xA0\x80", nullptr},              // a surrogate
      {__LINE__, "\xA9", nullptr},                      // stray
  };
  for (const Row& row : rows) {
    std::string out, missing;
    EXPECT_EQ(codepage::FromUtf8(*table, row.utf8, out, missing), row.stored != nullptr)
        << "row at line " << row.line;
    if (row.stored) {
      EXPECT_EQ(out, row.stored) << "row at line " << row.line;
    }
  }
  EXPECT_EQ(codepage::ToUtf8(*table, "\x80\x81\xFF"), "\xE2\x82\xAC\xEF\xBF\xBD\xC3\xBF");
}

// Bytes of other code pages folded as Windows folds them, to their
// capitals, which fold to themselves.
TEST(CodePage, FoldOfTakesEachSmallLetterToItsCapital) {
  const struct {
    int line;
    int codePage;
    uint8_t small, capital;
  } rows[] = {
      {__LINE__, 1251, 0x90, 0x80},  // ђ, Ђ: the capital the table's first byte holds
      {__LINE__, 1251, 0xB8, 0xA8},  // ё, Ё
      {__LINE__, 1251, 0xFF, 0xDF},  // я, Я
      {__LINE__, 1250, 0x9A, 0x8A},  // š, Š
      {__LINE__, 1250, 0x61, 0x41},  // a, A
  };
  for (const auto& row : rows) {
    std::string why;
    const CaseFold fold = names::FoldOf(codepage::Find(row.codePage, why));
    EXPECT_EQ(fold[row.small], row.capital) << "row at line " << row.line;
    EXPECT_EQ(fold[row.capital], row.capital) << "row at line " << row.line;
  }
}

}  // namespace
