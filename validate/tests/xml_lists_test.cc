// The list operations of CXml, checked against the file as it lies on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <pugixml.hpp>
#include <string>
#include <utility>
#include <vector>

#include "vexmor/platform/profile.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/validate/CXml.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

class XmlListsTest : public ::testing::Test {
 protected:
  std::string StorePath() const { return dirs_.system_dir() + "Vexmor_MailIds.xml"; }
  std::string Store() const { return vexmor::testing::ReadFileOrEmpty(StorePath()); }
  void WriteStore(const std::string& body) {
    vexmor::testing::WriteFileOrDie(
        StorePath(), "<?xml version='1.0'?>\n<Vexmor Mail=\"Ids\">\n" + body + "</Vexmor>\n");
  }
  std::string ErrorMark(const char* key = "Xml") const {
    return vexmor::platform::DefaultProfile().GetString(dirs_.install_dir() + "Vexmor_Message.ini",
                                                        "Error", key, "");
  }
  // Every child element of the root with its trimmed text, parsed independently of CXml.
  Entries OnDisk() const {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_file(StorePath().c_str()));
    Entries entries;
    for (pugi::xml_node child : doc.document_element().children()) {
      if (child.type() != pugi::node_element) continue;
      std::string text = child.text().get();
      while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
      entries.emplace_back(child.name(), text);
    }
    return entries;
  }
  CXml Make() const { return CXml(dirs_.install_dir()); }

  vexmor::testing::ScopedSystemDirs dirs_;
};

TEST_F(XmlListsTest, MissingFileThenWriteFileStartsTheStoreWithOneUpperCasedEntry) {
  CXml xml = Make();
  std::string result;
  EXPECT_FALSE(xml.ReadFile("Mixed.Case@Example.COM", 6, &result));
  EXPECT_EQ(ErrorMark(), "8");
  EXPECT_EQ(xml.GetLastFailure_Code(), CXml::kFailure_Missing);
  ASSERT_TRUE(xml.WriteFile("Mixed.Case@Example.COM", 2));

  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file(StorePath().c_str(), pugi::parse_default | pugi::parse_pi |
                                                     pugi::parse_comments |
                                                     pugi::parse_declaration));
  pugi::xml_node first = doc.first_child();
  EXPECT_EQ(first.type(), pugi::node_declaration);
  EXPECT_EQ(std::string(first.attribute("version").value()), "1.0");
  EXPECT_EQ(first.next_sibling().type(), pugi::node_comment);
  pugi::xml_node root = doc.document_element();
  EXPECT_STREQ(root.name(), "Vexmor");
  EXPECT_STREQ(root.attribute("Mail").value(), "Ids");
  EXPECT_EQ(OnDisk(), (Entries{{"WId", "MIXED.CASE@EXAMPLE.COM"}}));
  EXPECT_NE(Store().find("<WId>MIXED.CASE@EXAMPLE.COM\n</WId>"), std::string::npos);

  // The same address in another case is found, and the file is not written again.
  struct stat before {};
  ASSERT_EQ(::stat(StorePath().c_str(), &before), 0);
  EXPECT_TRUE(Make().ReadFile("mixed.case@example.com", 6, &result));
  struct stat after {};
  ASSERT_EQ(::stat(StorePath().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(OnDisk().size(), 1u);
}

TEST_F(XmlListsTest, EveryCodeWorksOnItsOwnListOnly) {
  const char* names[] = {"Id", "WId", "BD_Id", "WD_Id"};
  WriteStore("");
  for (int list = 0; list < 4; ++list) {
    SCOPED_TRACE(names[list]);
    std::string value = "v" + std::to_string(list) + "@a.org";
    ASSERT_TRUE(Make().ReadFile(value, 4 * list + 2, nullptr));
    ASSERT_TRUE(Make().ReadFile("second@b.org", 4 * list + 2, nullptr));
  }
  EXPECT_EQ(OnDisk(), (Entries{{"Id", "V0@A.ORG"},
                               {"Id", "SECOND@B.ORG"},
                               {"WId", "V1@A.ORG"},
                               {"WId", "SECOND@B.ORG"},
                               {"BD_Id", "V2@A.ORG"},
                               {"BD_Id", "SECOND@B.ORG"},
                               {"WD_Id", "V3@A.ORG"},
                               {"WD_Id", "SECOND@B.ORG"}}));
  for (int list = 0; list < 4; ++list) {
    SCOPED_TRACE(names[list]);
    std::string value = "V" + std::to_string(list) + "@A.ORG";
    for (int other = 0; other < 4; ++other) {
      std::string result;
      EXPECT_TRUE(Make().ReadFile(value, 4 * other + 3, &result));
      EXPECT_EQ(result, other == list ? "Found" : "");
    }
    std::string listed;
    EXPECT_TRUE(Make().ReadFile("", 4 * list, &listed));
    EXPECT_EQ(listed, value + "\nSECOND@B.ORG\n");
  }
  for (int list = 0; list < 4; ++list) {
    EXPECT_TRUE(Make().ReadFile("second@B.org", 4 * list + 1, nullptr));
  }
  EXPECT_EQ(
      OnDisk(),
      (Entries{
          {"Id", "V0@A.ORG"}, {"WId", "V1@A.ORG"}, {"BD_Id", "V2@A.ORG"}, {"WD_Id", "V3@A.ORG"}}));
  std::string result;
  EXPECT_TRUE(Make().ReadFile("second@b.org", 3, &result));
  EXPECT_EQ(result, "");
}

TEST_F(XmlListsTest, LookUpOfAnApprovedOnlyAddressInTheBlockedListLeavesResultEmpty) {
  WriteStore("<WId>friend@home.net\n</WId>\n");
  std::string result;
  EXPECT_TRUE(Make().ReadFile("friend@home.net", 3, &result));
  EXPECT_EQ(result, "");
  EXPECT_TRUE(Make().ReadFile("FRIEND@HOME.NET", 7, &result));
  EXPECT_EQ(result, "Found");
}

TEST_F(XmlListsTest, RemoveTakesOnlyTheFirstOfTwoEqualEntries) {
  WriteStore("<Id>twice@x.com\n</Id><Id>other@x.com</Id><Id>TWICE@X.COM\n</Id>");
  EXPECT_TRUE(Make().ReadFile("Twice@X.com", 1, nullptr));
  EXPECT_EQ(OnDisk(), (Entries{{"Id", "other@x.com"}, {"Id", "TWICE@X.COM"}}));
  EXPECT_TRUE(Make().ReadFile("twice@x.com", 1, nullptr));
  EXPECT_EQ(OnDisk(), (Entries{{"Id", "other@x.com"}}));
  // Nothing left to remove: still true, file unchanged.
  std::string before = Store();
  EXPECT_TRUE(Make().ReadFile("twice@x.com", 1, nullptr));
  EXPECT_EQ(Store(), before);
}

TEST_F(XmlListsTest, ListGivesValuesInDocumentOrderEachWithALineFeed) {
  WriteStore("<BD_Id>A\n</BD_Id><WD_Id>X</WD_Id><BD_Id>  b.example  \n</BD_Id><BD_Id/>");
  std::string result;
  EXPECT_TRUE(Make().ReadFile("", 8, &result));
  EXPECT_EQ(result, "A\nb.example\n");
}

TEST_F(XmlListsTest, MarkersAreNeverListed) {
  WriteStore("<WId_Start>1\n</WId_Start><DId_Start>1\n</DId_Start><WId>A@B\n</WId><Id>C@D</Id>");
  std::string all;
  for (int code : {0, 4, 8, 12}) EXPECT_TRUE(Make().ReadFile("", code, &all));
  EXPECT_EQ(all, "C@D\nA@B\n");
  std::string result;
  EXPECT_TRUE(Make().ReadFile("1", 7, &result));
  EXPECT_EQ(result, "");
}

TEST_F(XmlListsTest, CodesOutsideTheRangeChangeNothing) {
  WriteStore("<Id>A@B</Id>");
  std::string before = Store();
  for (int code : {-1, 16, 17, 100, -2147483647 - 1}) {
    std::string result = "untouched";
    EXPECT_TRUE(Make().ReadFile("a@b", code, &result)) << code;
    EXPECT_EQ(result, "untouched");
  }
  EXPECT_EQ(Store(), before);
  ASSERT_EQ(::unlink(StorePath().c_str()), 0);
  EXPECT_FALSE(Make().ReadFile("a@b", 16, nullptr));
}

TEST_F(XmlListsTest, FirstChildTextIsWhatReadersCompare) {
  // Hand-edited: white space around values, an element inside an entry, an empty entry.
  WriteStore("<WId>\n   Mixed@Case.Org \t\n</WId><WId><b>in</b><i>ner@x</i></WId><WId></WId>");
  std::string result;
  EXPECT_TRUE(Make().ReadFile("mixed@case.org", 7, &result));
  EXPECT_EQ(result, "Found");
  result.clear();
  EXPECT_TRUE(Make().ReadFile("IN", 7, &result));
  EXPECT_EQ(result, "Found");
  std::string listed;
  EXPECT_TRUE(Make().ReadFile("", 4, &listed));
  EXPECT_EQ(listed, "Mixed@Case.Org\nin\n");
}

TEST_F(XmlListsTest, SingleByteTextIsUpperCasedAndStoredAsUtf8) {
  // "josé@exemple.fr" in the single-byte code page (é = 0xE9).
  const std::string ansi = "jos\xE9@exemple.fr";
  ASSERT_FALSE(Make().ReadFile(ansi, 2, nullptr));
  ASSERT_TRUE(Make().WriteFile(ansi, 1));
  EXPECT_EQ(OnDisk(), (Entries{{"Id", "JOS\xC3\x89@EXEMPLE.FR"}}));
  std::string result;
  EXPECT_TRUE(Make().ReadFile("JOS\xC9@EXEMPLE.FR", 3, &result));
  EXPECT_EQ(result, "Found");
  std::string listed;
  EXPECT_TRUE(Make().ReadFile("", 0, &listed));
  EXPECT_EQ(listed, "JOS\xC9@EXEMPLE.FR\n");
}

TEST_F(XmlListsTest, ValuesThatCannotBeStoredAreRefused) {
  WriteStore("<Id>A@B</Id>");
  std::string before = Store();
  for (const char* bad : {"", "   ", "a\x01@b", "line\nbreak@x"}) {
    CXml xml = Make();
    EXPECT_FALSE(xml.ReadFile(bad, 2, nullptr));
    EXPECT_EQ(xml.GetLastFailure_Code(), CXml::kFailure_Argument);
    EXPECT_FALSE(xml.WriteFile(bad, 1));
  }
  EXPECT_EQ(Store(), before);
  // Markup characters are stored as text, not as markup.
  EXPECT_TRUE(Make().ReadFile("<evil>&\"x'@y", 2, nullptr));
  EXPECT_EQ(OnDisk().back(), (std::pair<std::string, std::string>{"Id", "<EVIL>&\"X'@Y"}));
}

TEST_F(XmlListsTest, WrongRootIsUnusableWithoutAMark) {
  vexmor::testing::WriteFileOrDie(StorePath(), "<Other Mail=\"Ids\"><Id>A@B</Id></Other>");
  CXml xml = Make();
  std::string result;
  EXPECT_FALSE(xml.ReadFile("a@b", 3, &result));
  EXPECT_EQ(result, "");
  EXPECT_EQ(xml.GetLastFailure_Code(), CXml::kFailure_Damaged);
  EXPECT_EQ(ErrorMark(), "");
}

TEST_F(XmlListsTest, AFailedSaveIsReportedAndTheFileKept) {
  // The store is a symbolic link: it can be read, but it is never replaced.
  std::string target = dirs_.install_dir() + "elsewhere.xml";
  vexmor::testing::WriteFileOrDie(target, "<Vexmor Mail=\"Ids\"><Id>A@B</Id></Vexmor>");
  ASSERT_EQ(::symlink(target.c_str(), StorePath().c_str()), 0);
  std::string result;
  EXPECT_TRUE(Make().ReadFile("a@b", 3, &result));
  EXPECT_EQ(result, "Found");
  CXml xml = Make();
  EXPECT_FALSE(xml.ReadFile("new@one", 2, nullptr));
  EXPECT_EQ(xml.GetLastFailure_Code(), CXml::kFailure_Io);
  EXPECT_FALSE(xml.GetLastFailure_Text().empty());
  EXPECT_FALSE(Make().WriteFile("new@one", 1));
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(target), "<Vexmor Mail=\"Ids\"><Id>A@B</Id></Vexmor>");
}

TEST_F(XmlListsTest, DocumentBuildingOperations) {
  CXml xml = Make();
  CXmlNode node;
  EXPECT_FALSE(xml.CreateElementNode("Id", &node));  // no document yet
  ASSERT_TRUE(xml.CreateDomDocument());
  EXPECT_EQ(xml.m_strPath, dirs_.install_dir());
  EXPECT_EQ(xml.m_strSystemPath, dirs_.system_dir());
  ASSERT_TRUE(xml.CreateElementNode("Vexmor", &node));
  EXPECT_FALSE(node.IsNull());
  CXmlNode child;
  EXPECT_TRUE(xml.CreateElementNode("WId", node, &child));
  EXPECT_TRUE(xml.CreateAttribute("Count", int64_t{3}, child));
  EXPECT_TRUE(xml.InsertElementNode("Id", node, std::string("a")));
  EXPECT_TRUE(xml.InsertElementNode("Id", node, std::nullopt));
  EXPECT_FALSE(xml.CreateElementNode("bad name", node, &child));
  EXPECT_EQ(ErrorMark(), "3");
  EXPECT_FALSE(xml.CreateAttribute("Mail", "Ids", CXmlNode()));
  EXPECT_EQ(ErrorMark(), "4");
  EXPECT_FALSE(xml.InsertElementNode("", node, std::string("x")));
  EXPECT_EQ(ErrorMark(), "5");

  // A copy shares the document; the system folder is the default place of the marks.
  CXml copy = xml;
  EXPECT_EQ(copy.m_pXmlDoc, xml.m_pXmlDoc);
  CXml plain;
  ASSERT_TRUE(plain.CreateDomDocument());
  EXPECT_EQ(plain.m_strPath, dirs_.system_dir());
}

}  // namespace
