// The list file shared by several processes: damaged files, concurrent changes, and readers
// that must always see the file as it is now.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <vector>

#include "vexmor/testing/test_support.h"
#include "vexmor/validate/CXml.h"

namespace {

namespace fs = std::filesystem;

class XmlStoreTest : public ::testing::Test {
 protected:
  std::string StorePath() const { return dirs_.system_dir() + "Vexmor_MailIds.xml"; }
  std::string Store() const { return vexmor::testing::ReadFileOrEmpty(StorePath()); }
  // The copies of damaged files kept beside the store.
  std::vector<std::string> KeptCopies() const {
    std::vector<std::string> copies;
    for (const auto& item : fs::directory_iterator(dirs_.system_dir())) {
      std::string name = item.path().filename().string();
      if (name.rfind("Vexmor_MailIds.xml.damaged-", 0) == 0) copies.push_back(item.path());
    }
    return copies;
  }
  std::set<std::string> Values(const std::string& element) const {
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_file(StorePath().c_str())) << Store();
    std::set<std::string> values;
    for (pugi::xml_node child : doc.document_element().children(element.c_str())) {
      std::string text = child.text().get();
      if (!text.empty() && text.back() == '\n') text.pop_back();
      EXPECT_TRUE(values.insert(text).second) << "duplicate " << text;
    }
    return values;
  }
  bool Found(const std::string& value, int code) const {
    std::string result;
    CXml(dirs_.install_dir()).ReadFile(value, code, &result);
    return result == "Found";
  }
  CXml Make() const { return CXml(dirs_.install_dir()); }

  vexmor::testing::ScopedSystemDirs dirs_;
};

TEST_F(XmlStoreTest, AFileInAnotherEncodingKeepsItsEntriesAcrossSaves) {
  vexmor::testing::WriteFileOrDie(
      StorePath(),
      "<?xml version=\"1.0\" "
      "encoding=\"ISO-8859-1\"?>\n<Vexmor><Id>\xe9t\xe9@example.com</Id></Vexmor>\n");
  EXPECT_TRUE(Found("\xe9t\xe9@example.com", 3));
  ASSERT_TRUE(Make().ReadFile("new@example.com", 2, nullptr));  // a save, written as UTF-8
  EXPECT_TRUE(Found("\xe9t\xe9@example.com", 3)) << Store();
  EXPECT_TRUE(Found("new@example.com", 3));
  EXPECT_NE(Store().find("encoding=\"UTF-8\""), std::string::npos) << Store();
}

TEST_F(XmlStoreTest, ADamagedFileIsKeptBeforeANewOneIsStarted) {
  // The damaged bytes, and whether an entry of them can still be read (the complete entries
  // before the damage of a cut-off file count; the cut one does not).
  const std::vector<std::pair<std::string, bool>> damaged = {
      {"<?xml version='1.0'?><Vexmor Mail=\"Ids\"><WId>FRIEND@A.ORG\n</WId><WId>FRI", true},
      {"<Other Mail=\"Ids\"><WId>FRIEND@A.ORG</WId></Other>", false},  // wrong root
      {std::string("\x7f"
                   "ELF\x02\x01\x00\x00<\xff\xfe garbage",
                   18),
       false},                                                             // binary
      {"<Vexmor Mail=\"Ids\"><WId>A</WId></Vexmor>trailing text", false},  // junk after
      {"<Vexmor/><Vexmor/>", false},                                       // two roots
  };
  for (const auto& [bytes, readable] : damaged) {
    SCOPED_TRACE(bytes);
    for (const std::string& copy : KeptCopies()) fs::remove(copy);
    // No earlier version of the file in this process to fall back on.
    fs::remove(StorePath());
    EXPECT_FALSE(Found("friend@a.org", 7));
    vexmor::testing::WriteFileOrDie(StorePath(), bytes);

    CXml xml = Make();
    EXPECT_FALSE(xml.ReadFile("new@b.org", 6, nullptr));
    EXPECT_EQ(xml.GetLastFailure_Code(), CXml::kFailure_Damaged);
    EXPECT_EQ(Found("friend@a.org", 7), readable);
    EXPECT_FALSE(Found("fri", 7));
    ASSERT_TRUE(Make().WriteFile("new@b.org", 2));

    EXPECT_EQ(Values("WId"), readable ? (std::set<std::string>{"FRIEND@A.ORG", "NEW@B.ORG"})
                                      : (std::set<std::string>{"NEW@B.ORG"}));
    std::vector<std::string> copies = KeptCopies();
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(copies[0]), bytes);
    std::string log = vexmor::testing::ReadFileOrEmpty(dirs_.install_dir() + "Vexmor_OE_Log.txt");
    EXPECT_NE(log.find(fs::path(copies[0]).filename().string()), std::string::npos) << log;
  }
}

TEST_F(XmlStoreTest, TheMarkerBuildAlsoKeepsADamagedFile) {
  vexmor::testing::WriteFileOrDie(StorePath(), "<Vexmor Mail=\"Ids\"><Id>X</Id>");
  EXPECT_TRUE(Make().GetWhiteListIds_SentItems(1));
  ASSERT_EQ(KeptCopies().size(), 1u);
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(KeptCopies()[0]), "<Vexmor Mail=\"Ids\"><Id>X</Id>");
}

TEST_F(XmlStoreTest, AnEmptyFileIsReplacedWithoutACopy) {
  vexmor::testing::WriteFileOrDie(StorePath(), "");
  EXPECT_FALSE(Make().ReadFile("a@b", 2, nullptr));
  EXPECT_TRUE(Make().WriteFile("a@b", 1));
  EXPECT_TRUE(KeptCopies().empty());
  EXPECT_EQ(Values("Id"), (std::set<std::string>{"A@B"}));
}

TEST_F(XmlStoreTest, AFileThatCannotBeReadIsNeverReplaced) {
  fs::create_directory(StorePath());  // something unreadable where the file should be
  CXml xml = Make();
  EXPECT_FALSE(xml.ReadFile("a@b", 2, nullptr));
  EXPECT_EQ(xml.GetLastFailure_Code(), CXml::kFailure_Io);
  EXPECT_FALSE(Make().WriteFile("a@b", 1));
  EXPECT_FALSE(Make().GetWhiteListIds_SentItems(1));
  EXPECT_TRUE(fs::is_directory(StorePath()));
}

// A damaged or unreadable file does not make look-ups forget the senders: the last version
// this process read still answers, the damage is recorded for `vexmor status` and the file
// is left as it is; once it reads well again the record goes.
TEST_F(XmlStoreTest, LookUpsGoOnWithTheLastGoodVersionWhileTheFileIsDamaged) {
  ASSERT_TRUE(Make().WriteFile("a@blocked.example", 1));
  ASSERT_TRUE(Make().WriteFile("b@blocked.example", 1));
  ASSERT_TRUE(Found("a@blocked.example", 3));
  const std::string problems = dirs_.install_dir() + "Vexmor_Problems.ini";

  vexmor::testing::WriteFileOrDie(StorePath(), "<Vexmor><Id>A@BLOCKED.EXAMPLE</Id><Id>BRO");
  EXPECT_TRUE(Found("b@blocked.example", 3));
  EXPECT_FALSE(Found("c@blocked.example", 3));
  EXPECT_FALSE(Make().ReadFile("", 0, nullptr));  // showing the lists still fails
  EXPECT_NE(vexmor::testing::ReadFileOrEmpty(problems).find("Sender_Lists="), std::string::npos);
  EXPECT_NE(vexmor::testing::ReadFileOrEmpty(problems).find("not well-formed"), std::string::npos);
  EXPECT_EQ(Store(), "<Vexmor><Id>A@BLOCKED.EXAMPLE</Id><Id>BRO");
  EXPECT_TRUE(KeptCopies().empty());

  fs::remove(StorePath());
  fs::create_directory(StorePath());
  EXPECT_TRUE(Found("a@blocked.example", 3));
  EXPECT_NE(vexmor::testing::ReadFileOrEmpty(problems).find("not a regular file"),
            std::string::npos);
  fs::remove(StorePath());

  // Damaged again, then written to: the new file starts from the last good version, the
  // damaged one is kept.
  vexmor::testing::WriteFileOrDie(StorePath(), "<Vexmor><Id>A@BLOCKED.EXAMPLE</Id><Id>BRO");
  ASSERT_TRUE(Make().WriteFile("d@blocked.example", 1));
  EXPECT_EQ(KeptCopies().size(), 1u);
  EXPECT_EQ(Values("Id"),
            (std::set<std::string>{"A@BLOCKED.EXAMPLE", "B@BLOCKED.EXAMPLE", "D@BLOCKED.EXAMPLE"}));
  EXPECT_TRUE(Found("d@blocked.example", 3));
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(problems).find("Sender_Lists="), std::string::npos);
}

TEST_F(XmlStoreTest, WriteFileAddsToAFileAnotherProcessStartedMeanwhile) {
  // Both callers saw no file; the second WriteFile must not wipe the first one's entry.
  EXPECT_FALSE(Make().ReadFile("first@a.org", 6, nullptr));
  EXPECT_FALSE(Make().ReadFile("second@a.org", 2, nullptr));
  ASSERT_TRUE(Make().WriteFile("first@a.org", 2));
  ASSERT_TRUE(Make().WriteFile("second@a.org", 1));
  ASSERT_TRUE(Make().WriteFile("FIRST@a.org", 2));
  EXPECT_EQ(Values("WId"), (std::set<std::string>{"FIRST@A.ORG"}));
  EXPECT_EQ(Values("Id"), (std::set<std::string>{"SECOND@A.ORG"}));
  EXPECT_TRUE(KeptCopies().empty());
}

TEST_F(XmlStoreTest, CreateXmlFileKeepsTheListsItReplaces) {
  ASSERT_TRUE(Make().WriteFile("keep@me.org", 2));
  std::string before = Store();
  CXml xml = Make();
  ASSERT_TRUE(xml.CreateDomDocument());
  ASSERT_TRUE(xml.CreateXmlFile("fresh@start.org", 4));
  EXPECT_EQ(Values("WD_Id"), (std::set<std::string>{"FRESH@START.ORG"}));
  EXPECT_TRUE(Values("WId").empty());
  ASSERT_EQ(KeptCopies().size(), 1u);
  EXPECT_EQ(vexmor::testing::ReadFileOrEmpty(KeptCopies()[0]), before);
}

TEST_F(XmlStoreTest, ReadersSeeEveryChangeMadeBehindTheirBack) {
  ASSERT_TRUE(Make().WriteFile("aaaa@x.org", 1));
  EXPECT_TRUE(Found("aaaa@x.org", 3));

  // Rewritten in place by someone else, same size: the cached document must not be used.
  std::string edited = Store();
  edited.replace(edited.find("AAAA"), 4, "BBBB");
  vexmor::testing::WriteFileOrDie(StorePath(), edited);
  EXPECT_FALSE(Found("aaaa@x.org", 3));
  EXPECT_TRUE(Found("bbbb@x.org", 3));

  // Replaced by a new file, as another process's save does.
  std::string other = dirs_.system_dir() + "other.xml";
  vexmor::testing::WriteFileOrDie(other, "<Vexmor Mail=\"Ids\"><Id>CCCC@X.ORG</Id></Vexmor>");
  fs::rename(other, StorePath());
  EXPECT_FALSE(Found("bbbb@x.org", 3));
  EXPECT_TRUE(Found("cccc@x.org", 3));

  // Gone, then back.
  fs::remove(StorePath());
  EXPECT_FALSE(Found("cccc@x.org", 3));
  EXPECT_FALSE(Make().ReadFile("cccc@x.org", 3, nullptr));
  ASSERT_TRUE(Make().WriteFile("dddd@x.org", 1));
  EXPECT_TRUE(Found("dddd@x.org", 3));
  EXPECT_FALSE(Found("cccc@x.org", 3));
}

TEST_F(XmlStoreTest, ConcurrentProcessesLoseNoChange) {
  constexpr int kProcesses = 4;
  constexpr int kRounds = 40;
  // Each process adds its own addresses and removes every third one again; half of them go
  // to the blocked list. All start on a missing file, so the first adds race to create it.
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kRounds; ++i) {
        std::string value = "p" + std::to_string(p) + "-" + std::to_string(i) + "@test.org";
        int list = i % 2;  // 0 blocked, 1 approved
        CXml xml(dirs_.install_dir());
        if (!xml.ReadFile(value, 4 * list + 2, nullptr) &&
            !CXml(dirs_.install_dir()).WriteFile(value, static_cast<uint32_t>(list + 1))) {
          ++failures;
        }
        if (i % 3 == 0 && !CXml(dirs_.install_dir()).ReadFile(value, 4 * list + 1, nullptr)) {
          ++failures;
        }
        if (i == kRounds / 2) (void)CXml(dirs_.install_dir()).GetWhiteListIds_SentItems(2);
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::set<std::string> blocked;
  std::set<std::string> approved;
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kRounds; ++i) {
      if (i % 3 == 0) continue;
      std::string value = "P" + std::to_string(p) + "-" + std::to_string(i) + "@TEST.ORG";
      (i % 2 == 0 ? blocked : approved).insert(value);
    }
  }
  EXPECT_EQ(Values("Id"), blocked);
  EXPECT_EQ(Values("WId"), approved);
  // One marker, however many processes asked for it at once.
  EXPECT_EQ(Values("DId_Start").size(), 1u);
  EXPECT_TRUE(Values("WId_Start").empty());
  EXPECT_TRUE(KeptCopies().empty());
}

TEST_F(XmlStoreTest, TheBuildIsDueInExactlyOneOfManyProcesses) {
  ASSERT_TRUE(Make().WriteFile("", 0));  // an empty list file
  constexpr int kProcesses = 6;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(CXml(dirs_.install_dir()).GetWhiteListIds_SentItems(1) ? 10 : 20);
    children.push_back(pid);
  }
  int due = 0;
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 10) ++due;
  }
  EXPECT_EQ(due, 1);
}

}  // namespace
