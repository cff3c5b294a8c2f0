// Account URLs, the settings in the registry, and where passwords may come from.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vexmor/platform/imap_account.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::platform {
namespace {

TEST(ImapAccountUrl, ParsesWhatUsersWriteAndRefusesTheRest) {
  StatusOr<ImapAccount> plain =
      ParseImapUrl("imap://me%40example.org@mail.example.org", ImapTls::kTls);
  ASSERT_TRUE(plain.ok()) << plain.status().ToString();
  EXPECT_EQ("me@example.org", plain->user);
  EXPECT_EQ("mail.example.org", plain->host);
  EXPECT_EQ(993, plain->port);
  EXPECT_EQ("imap://me%40example.org@mail.example.org:993", ImapUrl(*plain));
  EXPECT_EQ(143, ParseImapUrl("imap://me@h/", ImapTls::kStartTls)->port);
  EXPECT_EQ(1143, ParseImapUrl("imap://me@127.0.0.1:1143", ImapTls::kNone)->port);

  for (const char* bad : {"imaps://me@h", "imap://h", "imap://@h", "imap://me@",
                          "imap://me@h:", "imap://me@h:0", "imap://me@h:70000", "imap://me@h:12x",
                          "imap://me@h/INBOX", "imap://me%4@h", "imap://me:pw@h"}) {
    StatusOr<ImapAccount> parsed = ParseImapUrl(bad, ImapTls::kTls);
    EXPECT_EQ(StatusCode::kInvalidArgument, parsed.status().code()) << bad;
  }
  EXPECT_NE(std::string::npos,
            ParseImapUrl("imap://me:pw@h", ImapTls::kTls).status().message().find("--password"));
  EXPECT_FALSE(ParseImapTls("ssl").ok());
}

TEST(ImapAccountSettings, RoundTripThroughTheRegistry) {
  std::unique_ptr<Registry> registry = MakeMemoryRegistry();
  EXPECT_EQ(StatusCode::kNotFound, LoadImapAccount(*registry).status().code());
  ImapAccount account{
      "mail.example.org",       1993, "me", ImapTls::kStartTls, "pass show mail", "",
      "/etc/ssl/private-ca.pem"};
  ASSERT_TRUE(SaveImapAccount(*registry, account).ok());
  StatusOr<ImapAccount> loaded = LoadImapAccount(*registry);
  ASSERT_TRUE(loaded.ok());
  EXPECT_EQ(account, *loaded);
  EXPECT_EQ(RegistryValue::Dword(1993), *registry->QueryValue(kProductKey, "IMAP Port"));
}

TEST(ImapAccountPassword, OnlyPrivateFilesAndWorkingCommands) {
  testing::TempDir dir;
  ImapAccount account;
  EXPECT_EQ(StatusCode::kNotFound, ReadImapPassword(account).status().code());

  account.password_file = dir.File("pw");
  EXPECT_EQ(StatusCode::kIoError, ReadImapPassword(account).status().code());
  testing::WriteFileOrDie(account.password_file, "s3cret\nsecond line\n");
  for (mode_t mode : {0640, 0604, 0660}) {
    ::chmod(account.password_file.c_str(), mode);
    StatusOr<std::string> refused = ReadImapPassword(account);
    EXPECT_EQ(StatusCode::kInvalidArgument, refused.status().code()) << mode;
    EXPECT_EQ(std::string::npos, refused.status().message().find("s3cret"));
  }
  ::chmod(account.password_file.c_str(), 0600);
  EXPECT_EQ("s3cret", ReadImapPassword(account).value());
  // A link could point anywhere, a directory is no file.
  ASSERT_EQ(0, ::symlink(account.password_file.c_str(), dir.File("link").c_str()));
  account.password_file = dir.File("link");
  EXPECT_FALSE(ReadImapPassword(account).ok());
  account.password_file = dir.path();
  EXPECT_FALSE(ReadImapPassword(account).ok());
  testing::WriteFileOrDie(dir.File("empty"), "\n");
  ::chmod(dir.File("empty").c_str(), 0600);
  account.password_file = dir.File("empty");
  EXPECT_FALSE(ReadImapPassword(account).ok());

  account.password_command = "printf 'from command\\nrest'";
  EXPECT_EQ("from command", ReadImapPassword(account).value());  // the command wins
  account.password_command = "echo leaked; exit 3";
  StatusOr<std::string> failed = ReadImapPassword(account);
  EXPECT_EQ(StatusCode::kIoError, failed.status().code());
  EXPECT_EQ(std::string::npos, failed.status().message().find("leaked"));
  account.password_command = "true";
  EXPECT_EQ(StatusCode::kInvalidArgument, ReadImapPassword(account).status().code());
}

}  // namespace
}  // namespace vexmor::platform
