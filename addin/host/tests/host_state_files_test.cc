// What the host keeps between processes: the record of the message being judged, which a
// later process must read exactly as the last one left it, and the INBOX mark in the registry.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "addin_host.h"
#include "judging_record.h"
#include "vexmor/platform/atomic_file.h"
#include "vexmor/platform/mapi_store.h"
#include "vexmor/platform/registry.h"
#include "vexmor/testing/test_support.h"
#include "watermark.h"

namespace vexmor::addin_host {
namespace {

platform::EntryId Message(std::string mailbox, uint32_t validity, uint32_t uid) {
  return platform::PackEntryId({'M', std::move(mailbox), validity, uid});
}

std::string FileText(const std::string& path) {
  StatusOr<std::string> text = platform::ReadWholeFile(path);
  return text.ok() ? *text : "<" + text.status().message() + ">";
}

// One process records many messages in a row: each record is read by the next process exactly
// as written, whether it is longer or shorter than the one before, and a message that came back
// judged leaves nothing to pass over.
TEST(JudgingRecordFile, EachRecordStandsAloneForTheNextProcessThroughManyMessages) {
  testing::TempDir dir;
  const std::string path = dir.File(std::string(kJudgingFile));
  const platform::EntryId long_name = Message("Archive/Older/Years", 7, 123456);
  const platform::EntryId short_name = Message("INBOX", 7, 9);
  {
    JudgingRecord record(path);
    record.Begin(long_name);
    record.End();
    record.Begin(short_name);
    // A process ending here (a crash) leaves the short record whole, with no byte of the
    // longer one before it.
    EXPECT_EQ(FileText(path), platform::HexFromBin(short_name) + " 1\n");
    record.End();
    EXPECT_EQ(FileText(path), "");
    record.Begin(long_name);
  }
  // Three processes in a row end while judging the long one: from the second on it is passed
  // over, and the message after it is judged as ever.
  JudgingRecord second(path);
  EXPECT_FALSE(second.FailedTwice(long_name));
  second.Begin(long_name);
  EXPECT_EQ(FileText(path), platform::HexFromBin(long_name) + " 2\n");
  JudgingRecord third(path);
  EXPECT_TRUE(third.FailedTwice(long_name));
  EXPECT_FALSE(third.FailedTwice(short_name));
  third.End();
  third.Begin(short_name);
  third.End();
  JudgingRecord fourth(path);
  EXPECT_FALSE(fourth.FailedTwice(long_name));
  EXPECT_EQ(FileText(path), "");
}

TEST(JudgingRecordFile, RecordPlantedAsALinkIsRefusedAndItsTargetUntouched) {
  testing::TempDir dir;
  const std::string path = dir.File(std::string(kJudgingFile));
  const std::string target = dir.File("target.txt");
  ASSERT_TRUE(platform::ReplaceFileAtomically(target, "keep me").ok());
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
  JudgingRecord record(path);
  record.Begin(Message("INBOX", 1, 2));
  record.End();
  record.Begin(Message("INBOX", 1, 3));
  EXPECT_EQ(FileText(target), "keep me");
}

// The mark follows each handled message, and a folder renumbered by the server starts its mark
// afresh under the new UIDVALIDITY.
TEST(InboxWatermark, HandledMessagesMoveTheMarkAndANewValidityReplacesTheOld) {
  std::unique_ptr<platform::Registry> registry = platform::MakeMemoryRegistry();
  auto value = [&](const std::string& name) -> int64_t {
    StatusOr<platform::RegistryValue> got = registry->QueryValue(kHostStateKey, "INBOX " + name);
    return got.ok() ? static_cast<int64_t>(got->dword) : -1;
  };
  Watermark mark(*registry, "INBOX");
  mark.Handled(Message("INBOX", 40, 17));
  EXPECT_EQ(value("UIDVALIDITY"), 40);
  EXPECT_EQ(value("Last UID"), 17);
  mark.Handled(Message("INBOX", 40, 18));
  EXPECT_EQ(value("UIDVALIDITY"), 40);
  EXPECT_EQ(value("Last UID"), 18);
  mark.Handled(Message("INBOX", 41, 2));
  EXPECT_EQ(value("UIDVALIDITY"), 41);
  EXPECT_EQ(value("Last UID"), 2);
  // A mark written by hand with another type is replaced, not taken for the same validity.
  ASSERT_TRUE(
      registry->SetValue(kHostStateKey, "INBOX UIDVALIDITY", platform::RegistryValue::String("41"))
          .ok());
  mark.Handled(Message("INBOX", 41, 3));
  EXPECT_EQ(value("UIDVALIDITY"), 41);
  EXPECT_EQ(value("Last UID"), 3);
}

}  // namespace
}  // namespace vexmor::addin_host
