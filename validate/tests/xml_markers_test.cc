// The once-only build markers and the list export of CXml.
#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <string>
#include <vector>

#include "vexmor/platform/profile.h"
#include "vexmor/testing/test_support.h"
#include "vexmor/validate/CXml.h"

namespace {

class XmlMarkersTest : public ::testing::Test {
 protected:
  std::string StorePath() const { return dirs_.system_dir() + "Vexmor_MailIds.xml"; }
  std::vector<std::string> ElementNames() const {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_file(StorePath().c_str()));
    std::vector<std::string> names;
    for (pugi::xml_node child : doc.document_element().children()) {
      if (child.type() == pugi::node_element) names.emplace_back(child.name());
    }
    return names;
  }
  std::string ErrorMark() const {
    return vexmor::platform::DefaultProfile().GetString(dirs_.install_dir() + "Vexmor_Message.ini",
                                                        "Error", "Xml", "");
  }
  CXml Make() const { return CXml(dirs_.install_dir()); }

  vexmor::testing::ScopedSystemDirs dirs_;
};

TEST_F(XmlMarkersTest, DomainBuildOnAMissingFileRunsOnceEach) {
  EXPECT_TRUE(Make().GetWhiteListIds_SentItems(2));
  // A new file always starts with the approved-id marker.
  EXPECT_EQ(ElementNames(), (std::vector<std::string>{"WId_Start"}));
  EXPECT_TRUE(Make().GetWhiteListIds_SentItems(2));
  EXPECT_EQ(ElementNames(), (std::vector<std::string>{"WId_Start", "DId_Start"}));
  EXPECT_FALSE(Make().GetWhiteListIds_SentItems(2));
  EXPECT_FALSE(Make().GetWhiteListIds_SentItems(1));
  EXPECT_EQ(ElementNames(), (std::vector<std::string>{"WId_Start", "DId_Start"}));
}

TEST_F(XmlMarkersTest, IdBuildMarkerIsKeptBesideTheLists) {
  ASSERT_TRUE(Make().WriteFile("a@b.c", 2));
  EXPECT_TRUE(Make().GetWhiteListIds_SentItems(1));
  EXPECT_FALSE(Make().GetWhiteListIds_SentItems(1));
  EXPECT_EQ(ElementNames(), (std::vector<std::string>{"WId", "WId_Start"}));
  std::string listed;
  EXPECT_TRUE(Make().ReadFile("", 4, &listed));
  EXPECT_EQ(listed, "A@B.C\n");
}

TEST_F(XmlMarkersTest, UnknownBuildKindAndWrongRootChangeNothing) {
  ASSERT_TRUE(Make().WriteFile("a@b.c", 2));
  std::string before = vexmor::testing::ReadFileOrEmpty(StorePath());
  EXPECT_FALSE(Make().GetWhiteListIds_SentItems(0));
  EXPECT_FALSE(Make().GetWhiteListIds_SentItems(3));
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(StorePath()), before);

  vexmor::testing::WriteFileOrDie(StorePath(), "<Other/>");
  EXPECT_FALSE(Make().GetWhiteListIds_SentItems(1));
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(StorePath()), "<Other/>");
}

TEST_F(XmlMarkersTest, ExportJoinsValuesWithSeparators) {
  vexmor::testing::WriteFileOrDie(
      StorePath(),
      "<?xml version='1.0'?><Vexmor Mail=\"Ids\"><WId_Start>1\n</WId_Start><WId>A@X.ORG\n</WId>"
      "<Id>SPAM@Y.NET\n</Id><WId>  B@X.ORG\n</WId><DId_Start>1</DId_Start><wid>c@x</wid>"
      "</Vexmor>");
  std::string result = "stale";
  EXPECT_TRUE(Make().GetAddress_File("WId", &result));
  EXPECT_EQ(result, "A@X.ORG[//]B@X.ORG[//]");
  EXPECT_TRUE(Make().GetAddress_File("Id", &result));
  EXPECT_EQ(result, "SPAM@Y.NET[//]");
  EXPECT_TRUE(Make().GetAddress_File("WD_Id", &result));
  EXPECT_EQ(result, "");
}

TEST_F(XmlMarkersTest, ExportOfAnUnreadableFileIsEmptyAndMarked) {
  std::string result = "stale";
  CXml xml = Make();
  EXPECT_FALSE(xml.GetAddress_File("WId", &result));
  EXPECT_EQ(result, "");
  EXPECT_EQ(ErrorMark(), "17");
  EXPECT_EQ(xml.GetLastFailure_Code(), CXml::kFailure_Missing);

  vexmor::testing::WriteFileOrDie(StorePath(), "<Vexmor><WId>A</WId>");
  EXPECT_FALSE(Make().GetAddress_File("WId", &result));
  EXPECT_EQ(result, "");
}

}  // namespace
