// The behaviour every registry adapter shares. A test binary includes this once and
// instantiates RegistryContract with its adapters (the file and memory ones on Linux, the
// advapi32 one under Wine).
#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "vexmor/platform/registry.h"

namespace vexmor::platform {

struct RegistryAdapter {
  std::string name;
  // Makes the adapter on a registry without any of the keys below.
  std::function<std::unique_ptr<Registry>()> make;
  // Kept for the test's duration (e.g. the temporary folders of a file adapter); may be empty.
  std::function<std::shared_ptr<void>()> scope;
  // Whether value names come back in the order they were stored (the system registry of
  // Windows promises no order; Wine's sorts them).
  bool stored_order = true;
};

inline std::string RegistryAdapterName(const ::testing::TestParamInfo<RegistryAdapter>& info) {
  return info.param.name;
}

class RegistryContract : public ::testing::TestWithParam<RegistryAdapter> {
 protected:
  static constexpr std::string_view kKey = "Software\\Vexmor\\Settings";

  void SetUp() override {
    if (GetParam().scope) scope_ = GetParam().scope();
    registry_ = GetParam().make();
    // A registry that outlives the test (the system's own) starts every test without them.
    for (std::string_view key : {"Software\\Vexmor", "Software\\A", "Software\\A B", "a"}) {
      (void)registry_->DeleteKey(key);
    }
  }
  // The value names of a key, sorted when the adapter keeps no order.
  std::vector<std::string> ValueNames(std::string_view key) const {
    std::vector<std::string> names = *registry_->EnumerateValues(key);
    if (!GetParam().stored_order) std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> InOrder(std::vector<std::string> names) const {
    if (!GetParam().stored_order) std::sort(names.begin(), names.end());
    return names;
  }
  std::shared_ptr<void> scope_;
  std::unique_ptr<Registry> registry_;
};

TEST_P(RegistryContract, ValuesOfEveryTypeRoundTrip) {
  EXPECT_FALSE(registry_->KeyExists(kKey));
  ASSERT_TRUE(registry_->SetValue(kKey, "", RegistryValue::String("127.0.0.1:8631")).ok());
  ASSERT_TRUE(registry_->SetValue(kKey, "Count", RegistryValue::Dword(0xDEADBEEF)).ok());
  std::string bytes("\x00\x01\xff\"\\", 5);
  ASSERT_TRUE(registry_->SetValue(kKey, "Blob", RegistryValue::Binary(bytes)).ok());
  std::string odd = "quote \" back \\ line\r\nbreak and \0 zero";
  odd += std::string(1, '\0') + "tail";
  ASSERT_TRUE(registry_->SetValue(kKey, "Odd", RegistryValue::String(odd)).ok());
  ASSERT_TRUE(registry_->SetValue(kKey, "Empty", RegistryValue::Binary("")).ok());

  EXPECT_TRUE(registry_->KeyExists("software\\VEXMOR"));
  EXPECT_EQ(*registry_->QueryValue(kKey, ""), RegistryValue::String("127.0.0.1:8631"));
  EXPECT_EQ(registry_->QueryValue(kKey, "")->Size(), 15u);
  EXPECT_EQ(*registry_->QueryValue("SOFTWARE\\vexmor\\settings", "count"),
            RegistryValue::Dword(0xDEADBEEF));
  EXPECT_EQ(*registry_->QueryValue(kKey, "Blob"), RegistryValue::Binary(bytes));
  EXPECT_EQ(*registry_->QueryValue(kKey, "Odd"), RegistryValue::String(odd));
  EXPECT_EQ(*registry_->QueryValue(kKey, "Empty"), RegistryValue::Binary(""));
  EXPECT_EQ(ValueNames(kKey), InOrder({"", "Count", "Blob", "Odd", "Empty"}));

  // Overwriting keeps the value's place and may change its type.
  ASSERT_TRUE(registry_->SetValue(kKey, "COUNT", RegistryValue::String("x")).ok());
  EXPECT_EQ(*registry_->QueryValue(kKey, "Count"), RegistryValue::String("x"));
  EXPECT_EQ(ValueNames(kKey), InOrder({"", "Count", "Blob", "Odd", "Empty"}));
}

TEST_P(RegistryContract, MissingThingsAreNotFound) {
  EXPECT_EQ(registry_->QueryValue(kKey, "").status().code(), StatusCode::kNotFound);
  EXPECT_EQ(registry_->EnumerateValues(kKey).status().code(), StatusCode::kNotFound);
  EXPECT_EQ(registry_->DeleteValue(kKey, "x").code(), StatusCode::kNotFound);
  EXPECT_EQ(registry_->DeleteKey(kKey).code(), StatusCode::kNotFound);
  ASSERT_TRUE(registry_->CreateKey(kKey).ok());
  EXPECT_EQ(registry_->QueryValue(kKey, "").status().code(), StatusCode::kNotFound);
  EXPECT_TRUE(registry_->EnumerateValues(kKey)->empty());
  EXPECT_EQ(registry_->DeleteValue(kKey, "x").code(), StatusCode::kNotFound);
}

TEST_P(RegistryContract, BadNamesAreRefused) {
  EXPECT_EQ(registry_->CreateKey("").code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(registry_->CreateKey("a\\\\b").code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(registry_->CreateKey("a\nb").code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(registry_->SetValue("a", "x\ny", RegistryValue::Dword(1)).code(),
            StatusCode::kInvalidArgument);
  EXPECT_FALSE(registry_->KeyExists("a"));
}

TEST_P(RegistryContract, KeysNestAndDeleteWithTheirSubkeys) {
  ASSERT_TRUE(registry_->CreateKey("Software\\A\\B\\C").ok());
  ASSERT_TRUE(registry_->SetValue("Software\\A B", "v", RegistryValue::Dword(1)).ok());
  ASSERT_TRUE(registry_->SetValue("Software\\A\\D", "v", RegistryValue::Dword(2)).ok());
  ASSERT_TRUE(registry_->CreateKey("\\Software\\A\\").ok());
  EXPECT_EQ(*registry_->EnumerateSubkeys("Software"), (std::vector<std::string>{"A", "A B"}));
  EXPECT_EQ(*registry_->EnumerateSubkeys("software\\a"), (std::vector<std::string>{"B", "D"}));

  ASSERT_TRUE(registry_->DeleteKey("SOFTWARE\\a").ok());
  EXPECT_FALSE(registry_->KeyExists("Software\\A\\B\\C"));
  EXPECT_FALSE(registry_->KeyExists("Software\\A\\D"));
  EXPECT_TRUE(registry_->KeyExists("Software"));
  EXPECT_EQ(*registry_->QueryValue("Software\\A B", "v"), RegistryValue::Dword(1));

  ASSERT_TRUE(registry_->DeleteValue("Software\\A B", "V").ok());
  EXPECT_TRUE(registry_->EnumerateValues("Software\\A B")->empty());
}

}  // namespace vexmor::platform
