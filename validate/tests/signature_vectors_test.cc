// Conformance of the exported signature classes with the committed vectors
// (validate/tests/data/signature_vectors.txt): the Linux library and the Windows DLL must give
// every text the same content and link signatures. Only the exported surface is used, so the
// same source runs against either build.
//
// The vectors were made by the Linux library; to make them again after a deliberate change of
// the signature definition, run this test with VEXMOR_WRITE_SIGNATURE_VECTORS=FILE.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vexmor/validate/CCheckSum.h"
#include "vexmor/validate/CCheckValidate.h"

namespace {

const std::string kDataDir = VEXMOR_TEST_DATA_DIR;
const std::string kVectors = VEXMOR_SIGNATURE_VECTORS;

// The corpus sample: real messages, headers and all.
const char* const kCorpus[] = {
    "easy-ham-1_00001.eml", "easy-ham-1_00002.eml", "easy-ham-1_00003.eml",
    "easy-ham-2_00007.eml", "hard-ham-1_00001.eml", "hard-ham-1_00002.eml",
};

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Text of every byte value, the same on every system (no library generator involved).
std::string Noise(size_t size, uint32_t seed) {
  std::string text(size, ' ');
  uint32_t state = seed;
  for (char& c : text) {
    state = state * 1664525u + 1013904223u;
    c = static_cast<char>(state >> 24);
  }
  return text;
}

// Text of words and mail-like marks ("=20", links, line breaks) the normalisation handles.
std::string Words(size_t size, uint32_t seed) {
  static const char* const kWords[] = {"Cheap",  "pills", "=20",   "http://www.example.com/x",
                                       "\r\n",   "Hello", "WORLD", "<b>",
                                       "&nbsp;", "  ",    "=\r\n"};
  std::string text;
  uint32_t state = seed;
  while (text.size() < size) {
    state = state * 1664525u + 1013904223u;
    text += kWords[(state >> 16) % (sizeof kWords / sizeof kWords[0])];
    text += ' ';
  }
  text.resize(size);
  return text;
}

struct Case {
  std::string name;
  std::string text;
};

std::vector<Case> Cases() {
  std::vector<Case> cases = {
      {"empty", ""},
      {"abc", "abc"},
      {"ABC", "ABC"},
      {"punctuation", "A b, C!"},
      {"only-marks", "!!! ??? ..."},
      {"latin1", "Caf\xe9 cr\xe8me \xfc\xdf"},
      {"link-domain", "example.com"},
  };
  for (const char* file : kCorpus) cases.push_back({file, ReadBytes(kDataDir + "/corpus/" + file)});
  // Around the sizes at which the computation splits the text among its workers.
  for (size_t size : {4999u, 5000u, 5001u, 10002u, 25005u, 40000u}) {
    cases.push_back({"noise-" + std::to_string(size), Noise(size, static_cast<uint32_t>(size))});
    cases.push_back({"words-" + std::to_string(size), Words(size, static_cast<uint32_t>(size))});
  }
  return cases;
}

struct Signatures {
  int64_t content = 0;    // CCheckSum, in the background
  int64_t validated = 0;  // CCheckValidate, its own computation
  int64_t link = 0;       // CCheckSum's plain link-text signature
};

Signatures Compute(const std::string& text) {
  Signatures result;
  CCheckSum checksum;
  checksum.Arrange_SpamMail(text);
  EXPECT_TRUE(checksum.Wait_Arrange(120000));
  result.content = checksum.m_i64CheckSum;
  CCheckValidate validate;
  validate.Arrange_SpamMail(text);
  EXPECT_TRUE(validate.Wait_Arrange(120000));
  result.validated = validate.m_i64CheckSum;
  CCheckSum link;
  link.Arrange_SpamMail_Url(text);
  result.link = link.m_i64UrlCheckSum;
  return result;
}

TEST(SignatureVectors, EveryTextGivesTheCommittedSignatures) {
  const std::vector<Case> cases = Cases();
  if (const char* out = std::getenv("VEXMOR_WRITE_SIGNATURE_VECTORS"); out != nullptr) {
    std::ofstream file(out, std::ios::binary);
    file << "# name content-signature link-signature (made by the Linux library)\n";
    for (const Case& c : cases) {
      const Signatures s = Compute(c.text);
      ASSERT_EQ(s.content, s.validated) << c.name;
      file << c.name << ' ' << s.content << ' ' << s.link << '\n';
    }
    GTEST_SKIP() << "vectors written to " << out;
  }

  std::ifstream file(kVectors, std::ios::binary);
  ASSERT_TRUE(file) << "cannot read " << kVectors;
  std::vector<std::string> seen;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name;
    int64_t content = 0;
    int64_t link = 0;
    ASSERT_TRUE(fields >> name >> content >> link) << "malformed vector: " << line;
    const Case* found = nullptr;
    for (const Case& c : cases) {
      if (c.name == name) found = &c;
    }
    ASSERT_NE(found, nullptr) << "no text for vector " << name;
    ASSERT_FALSE(found->text.empty() && name != "empty") << "unreadable text " << name;
    const Signatures s = Compute(found->text);
    EXPECT_EQ(s.content, content) << name;
    EXPECT_EQ(s.validated, content) << name;
    EXPECT_EQ(s.link, link) << name;
    seen.push_back(name);
  }
  EXPECT_EQ(seen.size(), cases.size()) << "every text has a committed vector";
}

}  // namespace
