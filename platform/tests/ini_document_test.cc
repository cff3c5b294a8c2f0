#include "vexmor/platform/ini_document.h"

#include <gtest/gtest.h>

namespace vexmor::platform {
namespace {

TEST(IniDocument, NamesCompareWithoutLetterCaseAndValuesAreTrimmed) {
  IniDocument doc = IniDocument::Parse("[Vexmor]\r\nPath = /opt/vexmor/ \r\n[MESSAGE]\nCount=3\n");
  EXPECT_EQ(doc.Find("vexmor", "PATH"), "/opt/vexmor/");
  EXPECT_EQ(doc.Find("message", "count"), "3");
  EXPECT_EQ(doc.Find("Message", "Missing"), std::nullopt);
  EXPECT_EQ(doc.Find("Missing", "Count"), std::nullopt);
}

TEST(IniDocument, QuotedValuesLoseOnePairOfQuotes) {
  IniDocument doc = IniDocument::Parse("[s]\na=\"quoted text\"\nb='x'\nc=\"unbalanced\n");
  EXPECT_EQ(doc.Find("s", "a"), "quoted text");
  EXPECT_EQ(doc.Find("s", "b"), "x");
  EXPECT_EQ(doc.Find("s", "c"), "\"unbalanced");
}

TEST(IniDocument, WriteCreatesSectionAndKeyAndKeepsOtherLines) {
  IniDocument doc = IniDocument::Parse("; comment\n[A]\nx=1\n\n[B]\ny=2\n");
  doc.Write("a", "z", "3");   // new key lands inside the existing section
  doc.Write("A", "X", "10");  // existing key keeps its spelling and place
  doc.Write("C", "w", "4");   // new section at the end
  EXPECT_EQ(doc.Serialize(), "; comment\n[A]\nx=10\nz=3\n\n[B]\ny=2\n[C]\nw=4\n");
}

TEST(IniDocument, LineBreaksInValuesCannotForgeKeys) {
  IniDocument doc;
  doc.Write("s", "k", "one\r\n[Evil]\nOperation=1");
  IniDocument reread = IniDocument::Parse(doc.Serialize());
  EXPECT_EQ(reread.Find("Evil", "Operation"), std::nullopt);
  EXPECT_EQ(reread.Find("s", "k"), "one  [Evil] Operation=1");
}

TEST(IniDocument, DeleteKeyAndSection) {
  IniDocument doc = IniDocument::Parse("[A]\nx=1\ny=2\n[B]\nz=3\n");
  doc.DeleteKey("a", "X");
  doc.DeleteSection("b");
  EXPECT_EQ(doc.Serialize(), "[A]\ny=2\n");
  EXPECT_EQ(doc.Keys("A"), std::vector<std::string>{"y"});
  EXPECT_EQ(doc.Sections(), std::vector<std::string>{"A"});
}

TEST(IniDocument, GarbageIsKeptButNotRead) {
  std::string garbage("\x01\x02=\xff\n[\n=v\nno equals here\n", 26);
  IniDocument doc = IniDocument::Parse(garbage);
  doc.Write("Vexmor", "Operation", "1");
  EXPECT_EQ(IniDocument::Parse(doc.Serialize()).Find("Vexmor", "Operation"), "1");
}

TEST(ProfileInt, ReadsAsThePlatformDoes) {
  EXPECT_EQ(ParseProfileInt("42", 7), 42);
  EXPECT_EQ(ParseProfileInt("  -5", 7), -5);
  EXPECT_EQ(ParseProfileInt("+8", 7), 8);
  EXPECT_EQ(ParseProfileInt("12abc", 7), 12);
  EXPECT_EQ(ParseProfileInt("abc", 7), 0);
  EXPECT_EQ(ParseProfileInt("", 7), 7);
  EXPECT_EQ(ParseProfileInt("   ", 7), 7);
  EXPECT_EQ(ParseProfileInt("0x1F", 7), 31);
  EXPECT_EQ(ParseProfileInt("0b101", 7), 5);
  EXPECT_EQ(ParseProfileInt("0o17", 7), 15);
  EXPECT_EQ(ParseProfileInt("007", 7), 7);
  EXPECT_EQ(ParseProfileInt("4294967295", 7), -1);  // 32-bit wrap-around
  EXPECT_EQ(ParseProfileInt("4294967297", 7), 1);
}

}  // namespace
}  // namespace vexmor::platform
