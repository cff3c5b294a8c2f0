// The IMAP adapter's pieces that need no server: mailbox names in modified UTF-7, UID sets and
// the read-ahead list of the message cache.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imap_message_cache.h"
#include "imap_uid_set.h"
#include "imap_utf7.h"

namespace vexmor::platform::imap {
namespace {

TEST(MailboxNames, RoundTripThroughTheWireForm) {
  struct Case {
    std::string utf8;
    std::string wire;
  };
  const std::vector<Case> cases = {
      {"Spam", "Spam"},
      {"Entwürfe", "Entw&APw-rfe"},
      {"台北", "&U,BTFw-"},
      {"Tom & Jerry", "Tom &- Jerry"},
      {"&", "&-"},
      {"😀 mail", "&2D3eAA- mail"},  // outside the BMP: a surrogate pair
      {"ü&ü", "&APw-&-&APw-"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EncodeMailboxName(c.utf8), c.wire) << c.utf8;
    EXPECT_EQ(DecodeMailboxName(c.wire), c.utf8) << c.wire;
  }
}

TEST(MailboxNames, MalformedWireNamesAreRejectedAndShownAsTheyCame) {
  for (std::string wire : {
           std::string("&"),            // no end of the shift
           std::string("Inbox&APw"),    // no end of the shift
           std::string("&AGE-"),        // printable ASCII must stand for itself
           std::string("&2D0-"),        // a high surrogate alone
           std::string("&3gA-"),        // a low surrogate alone
           std::string("&APx-"),        // leftover bits that are not zero
           std::string("&AP!w-"),       // outside the alphabet
           std::string("caf\xc3\xa9"),  // raw 8-bit bytes
           std::string("a\tb"),         // a control character
       }) {
    EXPECT_FALSE(DecodeMailboxName(wire).has_value()) << wire;
    EXPECT_EQ(MailboxToUtf8(wire), wire);
  }
}

TEST(MailboxNames, TextThatIsNoUtf8IsNotEncoded) {
  for (std::string utf8 : {
           std::string("\xc3"),              // cut short
           std::string("a\xc0\xaf"),         // overlong "/"
           std::string("\xed\xa0\x80"),      // a surrogate written as UTF-8
           std::string("\xf4\x90\x80\x80"),  // past U+10FFFF
           std::string("\x80x"),             // a continuation byte first
       }) {
    EXPECT_FALSE(EncodeMailboxName(utf8).has_value()) << utf8;
  }
}

std::vector<std::pair<uint32_t, uint32_t>> Items(const UidSet& set) {
  std::vector<std::pair<uint32_t, uint32_t>> items;
  for (clistiter* it = clist_begin(set.get()->set_list); it != nullptr; it = clist_next(it)) {
    const auto* item = static_cast<mailimap_set_item*>(clist_content(it));
    items.emplace_back(item->set_first, item->set_last);
  }
  return items;
}

TEST(UidSets, RunsGoOutAsRangesAndComeBackAsUids) {
  UidSet set = UidSet::Of({9, 3, 1, 2, 3, 5, 6});
  EXPECT_EQ(Items(set), (std::vector<std::pair<uint32_t, uint32_t>>{{1, 3}, {5, 6}, {9, 9}}));
  EXPECT_EQ(set.Uids(), (std::vector<uint32_t>{1, 2, 3, 5, 6, 9}));
  EXPECT_EQ(set.First(), 1u);
  EXPECT_FALSE(set.empty());

  UidSet empty = UidSet::Of({});
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.First(), 0u);
  EXPECT_TRUE(empty.Uids().empty());
  EXPECT_TRUE(UidSet().empty());
}

TEST(UidSets, AServersHugeRangeIsBoundedAndOwnershipMoves) {
  // A COPYUID answer may name any range; reading it never takes more than asked.
  UidSet answer;
  *answer.out() = mailimap_set_new_interval(1, 4000000000u);
  EXPECT_EQ(answer.Uids(5), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  // out() frees what was held before libetpan writes again (leak checkers see the rest).
  *answer.out() = mailimap_set_new_single(42);
  EXPECT_EQ(answer.Uids(), std::vector<uint32_t>{42});

  UidSet moved = std::move(answer);
  EXPECT_TRUE(answer.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is empty
  EXPECT_EQ(moved.First(), 42u);
  mailimap_set* taken = moved.release();
  EXPECT_TRUE(moved.empty());
  mailimap_set_free(taken);
  EXPECT_EQ(UidSet::Range(7, 0).Uids(), std::vector<uint32_t>{7});  // "7:*"
}

TEST(MessageCacheReadAhead, FollowsTheLastListingOfTheSameMailbox) {
  MessageCache cache;
  EXPECT_EQ(cache.Ahead("INBOX", 7, 5, 10), std::vector<uint32_t>{5});  // nothing listed yet
  cache.SetListing("INBOX", 7, {3, 5, 8, 13, 21});
  EXPECT_EQ(cache.Ahead("INBOX", 7, 5, 3), (std::vector<uint32_t>{5, 8, 13}));
  EXPECT_EQ(cache.Ahead("INBOX", 7, 21, 3), std::vector<uint32_t>{21});
  EXPECT_EQ(cache.Ahead("INBOX", 7, 6, 3), std::vector<uint32_t>{6});    // not listed
  EXPECT_EQ(cache.Ahead("INBOX", 8, 5, 3), std::vector<uint32_t>{5});    // recreated
  EXPECT_EQ(cache.Ahead("Archive", 7, 5, 3), std::vector<uint32_t>{5});  // another one

  cache.Put("INBOX", 7, 5, "five", true);
  cache.Put("INBOX", 7, 8, "first bytes", false);
  ASSERT_NE(cache.Find("INBOX", 7, 5), nullptr);
  EXPECT_EQ(cache.Find("INBOX", 7, 5)->bytes, "five");
  EXPECT_FALSE(cache.Find("INBOX", 7, 8)->whole);
  EXPECT_EQ(cache.Find("INBOX", 8, 5), nullptr);  // same UID of a recreated mailbox
  cache.Forget("INBOX", 7, 5);
  EXPECT_EQ(cache.Find("INBOX", 7, 5), nullptr);
  cache.ForgetMailbox("INBOX");
  EXPECT_EQ(cache.Find("INBOX", 7, 8), nullptr);
}

}  // namespace
}  // namespace vexmor::platform::imap
