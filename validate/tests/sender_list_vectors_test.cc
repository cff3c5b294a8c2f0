// Conformance of the exported sender-list class with the committed vectors
// (validate/tests/data/sender_list_vectors.txt): a fixed script of CXml operations must give the
// same results from the Linux library (pugixml) and from the Windows DLL (MSXML). Also the store
// cases every build must meet: a damaged file is kept aside before a new one is started, and
// adds from many writers at once all arrive. Only the exported surface and the standard library
// are used, so the same source runs against either build.
//
// The vectors were made by the Linux library; to make them again after a deliberate change,
// run this test with VEXMOR_WRITE_SENDER_LIST_VECTORS=FILE.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vexmor/validate/CXml.h"

// This program, for the writer processes it starts as its own children.
std::string g_sender_list_program;

namespace {

namespace fs = std::filesystem;

const std::string kVectors = VEXMOR_SENDER_LIST_VECTORS;
// Whether the build's parser keeps what it read before the damage of a broken file (pugixml
// does, MSXML does not): the new file then starts with those entries.
constexpr bool kKeepsEntriesBeforeDamage = VEXMOR_XML_KEEPS_ENTRIES_BEFORE_DAMAGE;

void SetSystemFolder(const std::string& folder) {
#ifdef _WIN32
  ASSERT_EQ(::_putenv_s("VEXMOR_SYSDIR", folder.c_str()), 0);
#else
  ASSERT_EQ(::setenv("VEXMOR_SYSDIR", folder.c_str(), 1), 0);
#endif
}

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A system folder of its own for each test; removed afterwards.
class SenderListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> serial{0};
    folder_ = fs::temp_directory_path() /
              ("vexmor-lists-" +
               std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
               std::to_string(serial++));
    fs::create_directories(folder_);
    SetSystemFolder(folder_.string() + "/");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  fs::path Store() const { return folder_ / "Vexmor_MailIds.xml"; }
  std::vector<fs::path> KeptCopies() const {
    std::vector<fs::path> copies;
    for (const auto& item : fs::directory_iterator(folder_)) {
      if (item.path().filename().string().rfind("Vexmor_MailIds.xml.damaged-", 0) == 0) {
        copies.push_back(item.path());
      }
    }
    return copies;
  }
  // The values of one list, as the exported list operation gives them.
  std::set<std::string> List(int code) const {
    std::string text;
    EXPECT_TRUE(CXml(folder_.string() + "/").ReadFile("", code, &text));
    std::set<std::string> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) values.insert(line);
    return values;
  }

  fs::path folder_;
};

// What a step does.
enum class Op { kRead, kWrite, kCreate, kMarker, kExport, kRaw, kRemoveFile };

struct Step {
  const char* name;
  Op op;
  std::string value;  // value, element name or raw file bytes
  int code;           // ReadFile code, WriteFile/CreateXmlFile kind, marker kind
};

// The script. Each step runs on a new CXml object, as callers use the class.
std::vector<Step> Script() {
  return {
      {"lookup-missing-file", Op::kRead, "a@example.com", 7},
      {"add-approved-missing-file", Op::kRead, "Alice@Example.com", 6},
      {"start-approved", Op::kWrite, "Alice@Example.com", 2},
      {"add-approved-again-lower", Op::kRead, "alice@example.com", 6},
      {"lookup-approved", Op::kRead, "ALICE@example.com", 7},
      {"lookup-approved-in-blocked", Op::kRead, "alice@example.com", 3},
      {"list-approved", Op::kRead, "", 4},
      {"add-blocked-domain-a", Op::kRead, "spam.example", 10},
      {"add-blocked-domain-b", Op::kRead, "Junk.Example", 10},
      {"add-approved-domain", Op::kRead, " friends.example ", 14},
      {"list-blocked-domains", Op::kRead, "", 8},
      {"list-approved-domains", Op::kRead, "", 12},
      {"add-blocked-latin1", Op::kRead, "caf\xe9@example.com", 2},
      {"lookup-blocked-latin1-upper", Op::kRead, "CAF\xc9@EXAMPLE.COM", 3},
      {"list-blocked", Op::kRead, "", 0},
      {"add-empty", Op::kRead, "   ", 2},
      {"add-control-character", Op::kRead,
       "a\x01"
       "b@example.com",
       2},
      {"code-16", Op::kRead, "x@example.com", 16},
      {"code-minus-1", Op::kRead, "x@example.com", -1},
      {"marker-ids", Op::kMarker, "", 1},
      {"marker-ids-again", Op::kMarker, "", 1},
      {"marker-domains", Op::kMarker, "", 2},
      {"marker-domains-again", Op::kMarker, "", 2},
      {"marker-unknown", Op::kMarker, "", 3},
      {"list-approved-after-markers", Op::kRead, "", 4},
      {"export-approved", Op::kExport, "WId", 0},
      {"export-blocked-domains", Op::kExport, "BD_Id", 0},
      {"export-approved-domains", Op::kExport, "WD_Id", 0},
      {"export-blocked-ids", Op::kExport, "Id", 0},
      {"export-case-differs", Op::kExport, "wid", 0},
      {"remove-blocked-domain-a", Op::kRead, "SPAM.example", 9},
      {"remove-blocked-domain-a-again", Op::kRead, "spam.example", 9},
      {"list-blocked-domains-after-remove", Op::kRead, "", 8},
      {"hand-edited", Op::kRaw,
       "<?xml version=\"1.0\"?>\n<!-- kept -->\n<Vexmor Mail=\"Ids\">\n"
       "<WId>dup@example.com\n</WId><WId>  Dup@Example.com  </WId>"
       "<WId><b>inner</b> text</WId><WId/><Id>blocked@example.com</Id>"
       "<BD_Id>a&amp;b.example</BD_Id></Vexmor>\n",
       0},
      {"list-hand-edited", Op::kRead, "", 4},
      {"remove-first-of-two-equal", Op::kRead, "DUP@EXAMPLE.COM", 5},
      {"list-after-remove", Op::kRead, "", 4},
      {"lookup-escaped-domain", Op::kRead, "A&B.EXAMPLE", 11},
      {"export-escaped-domain", Op::kExport, "BD_Id", 0},
      {"wrong-root", Op::kRaw, "<Other Mail=\"Ids\"><WId>x@example.com</WId></Other>", 0},
      {"lookup-wrong-root", Op::kRead, "x@example.com", 7},
      {"add-wrong-root", Op::kRead, "x@example.com", 6},
      {"export-wrong-root", Op::kExport, "WId", 0},
      {"marker-wrong-root", Op::kMarker, "", 1},
      {"new-file-over-wrong-root", Op::kCreate, "new@example.com", 4},
      {"list-new-file", Op::kRead, "", 12},
      {"create-kind-0", Op::kCreate, "ignored@example.com", 0},
      {"list-after-kind-0", Op::kRead, "", 0},
      {"remove-file", Op::kRemoveFile, "", 0},
      {"export-missing-file", Op::kExport, "WId", 0},
      {"marker-missing-file", Op::kMarker, "", 2},
      {"list-approved-after-marker-file", Op::kRead, "", 4},
      {"export-marker-by-name", Op::kExport, "WId_Start", 0},
  };
}

// Bytes outside printable ASCII as \xHH, so the vectors file is plain text.
std::string Printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && c != '\\' && c != '"') {
      out += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    }
  }
  return out;
}

std::string RunStep(const Step& step, const fs::path& folder) {
  CXml xml(folder.string() + "/");
  const fs::path store = folder / "Vexmor_MailIds.xml";
  bool ok = false;
  std::string result;
  switch (step.op) {
    case Op::kRead:
      ok = xml.ReadFile(step.value, step.code, &result);
      break;
    case Op::kWrite:
      ok = xml.WriteFile(step.value, static_cast<uint32_t>(step.code));
      break;
    case Op::kCreate:
      ok = xml.CreateDomDocument() &&
           xml.CreateXmlFile(step.value, static_cast<uint32_t>(step.code));
      break;
    case Op::kMarker:
      ok = xml.GetWhiteListIds_SentItems(static_cast<uint32_t>(step.code));
      break;
    case Op::kExport:
      ok = xml.GetAddress_File(step.value, &result);
      break;
    case Op::kRaw:
      WriteBytes(store, step.value);
      ok = true;
      break;
    case Op::kRemoveFile:
      ok = fs::remove(store);
      break;
  }
  return std::string(step.name) + " " + (ok ? "1" : "0") + " " +
         std::to_string(static_cast<int>(xml.GetLastFailure_Code())) + " \"" + Printable(result) +
         "\"";
}

TEST_F(SenderListTest, EveryOperationGivesTheCommittedResult) {
  std::vector<std::string> lines;
  for (const Step& step : Script()) lines.push_back(RunStep(step, folder_));

  if (const char* out = std::getenv("VEXMOR_WRITE_SENDER_LIST_VECTORS")) {
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file << "# name returned failure-code \"result\" (made by the Linux library)\n";
    for (const std::string& line : lines) file << line << "\n";
  }

  std::ifstream in(kVectors, std::ios::binary);
  ASSERT_TRUE(in) << "cannot read " << kVectors;
  std::vector<std::string> expected;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') expected.push_back(line);
  }
  ASSERT_EQ(expected.size(), lines.size()) << "the script and the committed vectors differ";
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], expected[i]);
}

TEST_F(SenderListTest, ADamagedFileIsKeptAsideAndANewOneStarted) {
  const std::string damaged =
      "<?xml version=\"1.0\"?>\n<Vexmor Mail=\"Ids\">\n<WId>BEFORE@EXAMPLE.COM\n</WId>\n"
      "<WId>CUT@EXAM";
  WriteBytes(Store(), damaged);
  CXml xml(folder_.string() + "/");
  std::string result;
  EXPECT_FALSE(xml.ReadFile("new@example.com", 6, &result)) << "an add to a damaged file fails";
  EXPECT_EQ(xml.GetLastFailure_Code(), CXml::kFailure_Damaged);
  EXPECT_EQ(ReadBytes(Store()), damaged) << "a failed add leaves the file as it was";

  // The caller then starts a new file: the damaged one is kept aside byte for byte first.
  EXPECT_TRUE(CXml(folder_.string() + "/").WriteFile("new@example.com", 2));
  std::vector<fs::path> copies = KeptCopies();
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(ReadBytes(copies[0]), damaged);

  std::set<std::string> approved = List(4);
  EXPECT_EQ(approved.count("NEW@EXAMPLE.COM"), 1u);
  EXPECT_EQ(approved.count("BEFORE@EXAMPLE.COM"), kKeepsEntriesBeforeDamage ? 1u : 0u);
  EXPECT_EQ(approved.count("CUT@EXAM"), 0u) << "an entry cut off by the damage never counts";

  // The new file is a sound one: further changes go to it without another copy.
  EXPECT_TRUE(CXml(folder_.string() + "/").ReadFile("more@example.com", 6, &result));
  EXPECT_EQ(List(4).count("MORE@EXAMPLE.COM"), 1u);
  EXPECT_EQ(KeptCopies().size(), 1u);
}

TEST_F(SenderListTest, ConcurrentAddsFromManyWritersAllArrive) {
  // Every writer is its own object in its own thread, as the mail clients' threads are.
  ASSERT_TRUE(CXml(folder_.string() + "/").WriteFile("first@example.com", 1));
  constexpr int kWriters = 4;
  constexpr int kEach = 8;
  std::atomic<int> failures{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kEach; ++i) {
        std::string value = "w" + std::to_string(w) + "-" + std::to_string(i) + "@example.com";
        if (!CXml(folder_.string() + "/").ReadFile(value, 2, nullptr)) ++failures;
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<std::string> blocked = List(0);
  EXPECT_EQ(blocked.size(), static_cast<size_t>(kWriters * kEach + 1));
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kEach; ++i) {
      std::string value = "W" + std::to_string(w) + "-" + std::to_string(i) + "@EXAMPLE.COM";
      EXPECT_EQ(blocked.count(value), 1u) << value << " was lost";
    }
  }
  EXPECT_TRUE(KeptCopies().empty()) << "no writer ever saw a damaged file";
}

constexpr int kChildAdds = 6;

// A writer process: adds kChildAdds blocked ids named after its tag; exit code 0 when all
// adds succeeded.
int AddSendersAsChild(const std::string& folder, const std::string& tag) {
#ifdef _WIN32
  if (::_putenv_s("VEXMOR_SYSDIR", folder.c_str()) != 0) return 2;
#else
  if (::setenv("VEXMOR_SYSDIR", folder.c_str(), 1) != 0) return 2;
#endif
  int failed = 0;
  for (int i = 0; i < kChildAdds; ++i) {
    if (!CXml(folder).ReadFile(tag + "-" + std::to_string(i) + "@example.com", 2, nullptr)) {
      ++failed;
    }
  }
  return failed == 0 ? 0 : 1;
}

TEST_F(SenderListTest, ConcurrentAddsFromManyProcessesAllArrive) {
  ASSERT_FALSE(g_sender_list_program.empty());
  ASSERT_TRUE(CXml(folder_.string() + "/").WriteFile("first@example.com", 1));
  constexpr int kProcesses = 4;
  std::vector<int> exits(kProcesses, -1);
  std::vector<std::thread> starters;
  for (int p = 0; p < kProcesses; ++p) {
    starters.emplace_back([&, p] {
      std::string command = "\"" + g_sender_list_program + "\" --add-senders \"" +
                            folder_.string() + "/\" p" + std::to_string(p);
#ifdef _WIN32
      command = "\"" + command + "\"";  // cmd /c takes off the outer pair of quotes
#endif
      exits[static_cast<size_t>(p)] = std::system(command.c_str());
    });
  }
  for (std::thread& starter : starters) starter.join();
  for (int p = 0; p < kProcesses; ++p) EXPECT_EQ(exits[static_cast<size_t>(p)], 0) << p;
  std::set<std::string> blocked = List(0);
  EXPECT_EQ(blocked.size(), static_cast<size_t>(kProcesses * kChildAdds + 1));
  for (int p = 0; p < kProcesses; ++p) {
    for (int i = 0; i < kChildAdds; ++i) {
      std::string value = "P" + std::to_string(p) + "-" + std::to_string(i) + "@EXAMPLE.COM";
      EXPECT_EQ(blocked.count(value), 1u) << value << " was lost";
    }
  }
  EXPECT_TRUE(KeptCopies().empty());
}

}  // namespace

// The program is also its own writer process: --add-senders FOLDER TAG.
int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--add-senders") {
    return AddSendersAsChild(argv[2], argv[3]);
  }
  // --write-file FOLDER VALUE: one WriteFile of an approved id; exit code 0 when it succeeded.
  if (argc == 4 && std::string(argv[1]) == "--write-file") {
#ifdef _WIN32
    if (::_putenv_s("VEXMOR_SYSDIR", argv[2]) != 0) return 2;
#else
    if (::setenv("VEXMOR_SYSDIR", argv[2], 1) != 0) return 2;
#endif
    return CXml(argv[2]).WriteFile(argv[3], 2) ? 0 : 1;
  }
  g_sender_list_program = argv[0];
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
