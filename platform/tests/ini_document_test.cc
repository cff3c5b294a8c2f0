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

namespace vexmor::platform {
namespace {

TEST(IniDocument, ManyKeysKeepTheirOrderAndIndex) {
  IniDocument doc = IniDocument::Parse("[List]\nCount=0\n\n; end of list\n");
  for (int i = 1; i <= 5000; ++i)
    doc.Write("list", "Entry_" + std::to_string(i), std::to_string(i));
  doc.DeleteKey("LIST", "Entry_2");
  doc.Write("List", "Count", "4999");
  IniDocument reread = IniDocument::Parse(doc.Serialize());
  EXPECT_EQ(reread.Find("list", "entry_5000"), "5000");
  EXPECT_EQ(reread.Find("list", "entry_2"), std::nullopt);
  EXPECT_EQ(reread.Find("list", "entry_3"), "3");
  std::vector<std::string> keys = reread.Keys("List");
  ASSERT_EQ(keys.size(), 5000u);
  EXPECT_EQ(keys[0], "Count");
  EXPECT_EQ(keys[1], "Entry_1");
  EXPECT_EQ(keys[2], "Entry_3");
  // The comment stays below the keys.
  std::string text = doc.Serialize();
  EXPECT_EQ(text.substr(text.size() - 15), "\n; end of list\n");
}

TEST(IniDocument, DuplicateSectionsAndKeysReadTheFirst) {
  IniDocument doc = IniDocument::Parse("[A]\nk=1\nk=2\n[a]\nk=3\n");
  EXPECT_EQ(doc.Find("A", "K"), "1");
  doc.Write("a", "k", "9");
  EXPECT_EQ(doc.Serialize(), "[A]\nk=9\nk=2\n[a]\nk=3\n");
  doc.DeleteSection("A");
  EXPECT_EQ(doc.Find("A", "k"), "3");  // the second section of that name now answers
}

}  // namespace
}  // namespace vexmor::platform

namespace vexmor::platform {
namespace {

// Hand-edited files: every byte of a line the document does not write survives, and a written
// key is written the one way the platform writes keys.
TEST(IniDocumentBytes, UntouchedLinesKeepEveryByte) {
  const std::string text =
      "; top comment\r\n"
      "[Vexmor] ; note after the header\r\n"
      "  Path = /opt/vexmor/  \r\n"
      "Filter = on\r\n"
      "\r\n"
      "[s\r\n"
      "k = v\r\n"
      "\t; indented comment\r\n"
      "[Last]\r\n"
      "tail=1";  // no final line break
  IniDocument doc = IniDocument::Parse(text);
  EXPECT_EQ(doc.Serialize(), text);
  EXPECT_EQ(doc.Find("s", "k"), "v");

  doc.Write("vexmor", "filter", "off");  // rewritten in place, its CRLF kept
  doc.Write("S", "K", "v");              // the same value: the line stays as it was
  doc.Write("s", "new", "1");            // inserted after the section's last key
  std::string expected =
      "; top comment\r\n"
      "[Vexmor] ; note after the header\r\n"
      "  Path = /opt/vexmor/  \r\n"
      "Filter=off\r\n"
      "\r\n"
      "[s\r\n"
      "k = v\r\n"
      "new=1\r\n"
      "\t; indented comment\r\n"
      "[Last]\r\n"
      "tail=1";
  EXPECT_EQ(doc.Serialize(), expected);

  doc.Write("Last", "more", "2");  // after the last line: it gets a line break, the file none
  doc.Write("Added", "x", "y");
  EXPECT_EQ(doc.Serialize(), expected + "\r\nmore=2\r\n[Added]\r\nx=y");
  doc.DeleteKey("vexmor", "path");
  EXPECT_EQ(doc.Serialize().rfind(
                "; top comment\r\n[Vexmor] ; note after the header\r\nFilter=off\r\n\r\n[s\r\n", 0),
            0u);
}

TEST(IniDocumentBytes, BinaryFilesChangeOnlyWhereAKeyIsWritten) {
  std::string binary;
  for (unsigned i = 0; i < 300000; ++i) binary += static_cast<char>((i * 7919u + i / 13) % 256);
  binary += "\x01\x02";  // no final line break
  IniDocument doc = IniDocument::Parse(binary);
  EXPECT_TRUE(doc.Serialize() == binary);  // (a failing comparison would print megabytes)
  doc.Write("Vexmor", "Path", "/x/");
  ASSERT_NE(binary.find('\n'), std::string::npos);
  std::string eol = binary[binary.find('\n') - 1] == '\r' ? "\r\n" : "\n";
  EXPECT_TRUE(doc.Serialize() == binary + eol + "[Vexmor]" + eol + "Path=/x/");
}

TEST(IniDocumentBytes, FilesWithLfOnlyGetLfAndALoneCrIsKept) {
  IniDocument doc = IniDocument::Parse("[a]\nx=1\r");
  doc.Write("a", "y", "2");
  EXPECT_EQ(doc.Serialize(), "[a]\nx=1\r\ny=2");
  IniDocument empty;
  empty.Write("a", "b", "c");
  EXPECT_EQ(empty.Serialize(), "[a]\nb=c\n");
  IniDocument unterminated = IniDocument::Parse("[a]\nx=1\ny=2");
  unterminated.DeleteKey("a", "y");  // the last line goes; the file still has no final break
  EXPECT_EQ(unterminated.Serialize(), "[a]\nx=1");
}

}  // namespace
}  // namespace vexmor::platform
