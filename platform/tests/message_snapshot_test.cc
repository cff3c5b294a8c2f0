#include "vexmor/platform/message_snapshot.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include "vexmor/testing/test_support.h"

namespace vexmor::platform {
namespace {

TEST(MessageSnapshot, PrefersTheHtmlPartAndDecodesIt) {
  std::string raw =
      "From: \"Ann\" <ann@example.com>\r\n"
      "To: Bob <bob@example.org>, carol@example.net\r\n"
      "Subject: =?iso-8859-1?q?Caf=E9?=\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/alternative; boundary=\"b1\"\r\n"
      "\r\n"
      "--b1\r\n"
      "Content-Type: text/plain; charset=us-ascii\r\n"
      "\r\n"
      "plain text\r\n"
      "--b1\r\n"
      "Content-Type: text/html; charset=\"iso-8859-1\"\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n"
      "\r\n"
      "<p>caf=E9 =3D html</p>\r\n"
      "--b1--\r\n";
  StatusOr<MessageSnapshot> snapshot = ReadMessageSnapshot(raw);
  ASSERT_TRUE(snapshot.ok()) << snapshot.status().ToString();
  EXPECT_EQ(snapshot->kind, BodyKind::kHtml);
  EXPECT_EQ(snapshot->subject, "Caf\xE9");
  EXPECT_EQ(snapshot->sender, "ann@example.com");
  EXPECT_EQ(snapshot->body,
            "<p>caf\xE9 = html</p>");  // the line break before a boundary is the boundary's
  EXPECT_NE(snapshot->second_header.find("charset=\"iso-8859-1\""), std::string::npos);
  EXPECT_EQ(snapshot->header.rfind("From: \"Ann\"", 0), 0u);
  EXPECT_EQ(snapshot->header.find("plain text"), std::string::npos);
  EXPECT_NE(snapshot->recipients.find("bob@example.org"), std::string::npos);
  EXPECT_NE(snapshot->recipients.find("carol@example.net"), std::string::npos);
  EXPECT_EQ(snapshot->size, static_cast<int64_t>(raw.size()));
}

TEST(MessageSnapshot, PlainMessagesAndAttachments) {
  std::string raw =
      "From: x@example.com\nSubject: hi\nContent-Type: multipart/mixed; boundary=q\n\n"
      "--q\nContent-Type: text/html\nContent-Disposition: attachment; filename=a.html\n\n"
      "<b>attached</b>\n--q\nContent-Type: text/plain; charset=utf-8\n\nna\xC3\xAFve\n--q--\n";
  StatusOr<MessageSnapshot> snapshot = ReadMessageSnapshot(raw);
  ASSERT_TRUE(snapshot.ok());
  EXPECT_EQ(snapshot->kind, BodyKind::kPlain);
  EXPECT_EQ(snapshot->body, "na\xEFve");
}

TEST(MessageSnapshot, MessagesWithoutTextAndWithoutHeaders) {
  StatusOr<MessageSnapshot> image = ReadMessageSnapshot(
      "From: a@b.c\nContent-Type: image/gif\nContent-Transfer-Encoding: base64\n\nR0lGOD==\n");
  ASSERT_TRUE(image.ok());
  EXPECT_EQ(image->kind, BodyKind::kNone);
  EXPECT_TRUE(image->body.empty());

  EXPECT_FALSE(ReadMessageSnapshot("").ok());
  EXPECT_FALSE(ReadMessageSnapshot(" \r\n\r\n").ok());
  StatusOr<MessageSnapshot> bare = ReadMessageSnapshot("just a line of text\n");
  if (bare.ok()) {
    EXPECT_TRUE(bare->sender.empty());
  }
}

TEST(MessageSnapshot, EveryCorpusMessageParses) {
  std::string dir = vexmor::testing::TestDataDir() + "/corpus/";
  DIR* d = opendir(dir.c_str());
  ASSERT_NE(d, nullptr) << dir;
  int count = 0;
  while (dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    if (name.size() < 4 || name.substr(name.size() - 4) != ".eml") continue;
    std::string raw = vexmor::testing::ReadFileOrEmpty(dir + name);
    StatusOr<MessageSnapshot> snapshot = ReadMessageSnapshot(raw);
    ASSERT_TRUE(snapshot.ok()) << name;
    EXPECT_FALSE(snapshot->header.empty()) << name;
    EXPECT_NE(snapshot->kind, BodyKind::kNone) << name;
    EXPECT_NE(snapshot->header.rfind("From ", 0), 0u) << name;  // mbox line skipped
    ++count;
  }
  closedir(d);
  EXPECT_GE(count, 20);
}

}  // namespace
}  // namespace vexmor::platform
