// The chain's text operations on the examples its users rely on, and the registration the
// client reads back.
#include "vexmor/addin/incoming_filter.h"

#include <gtest/gtest.h>

#include "vexmor/addin/registration.h"

namespace {

using namespace vexmor::addin;

std::string Reduced(std::string link) {
  ReduceLinkToDomain(link);
  return link;
}

TEST(LinkOperations, LinksReduceToTheirRegistrableDomainUnlessTrusted) {
  EXPECT_EQ(Reduced("\"http://www.example.com\""), "example.com");
  EXPECT_EQ(Reduced("\"http://mail.example.co.uk/offers/today\""), "example.co.uk");
  EXPECT_EQ(Reduced("\"http://example.co.uk\""), "example.co.uk");
  EXPECT_EQ(Reduced("\"http://12.34.56.78\""), "34.56.78");
  EXPECT_EQ(Reduced("\"http://localhost/x\""), "");
  EXPECT_EQ(Reduced("\"https://www.example.com\""), "");
  EXPECT_EQ(Reduced("\"http://WWW.Vexmor.Example/help\""), "");
  EXPECT_EQ(Reduced("http://www.mailclient.example/x "), "");
  EXPECT_EQ(Reduced("http://www.Example.ORG/x "), "Example.ORG");
  EXPECT_EQ(Reduced(""), "");
}

TEST(LinkOperations, TextLinksAreFoundWithOrWithoutScheme) {
  IncomingFilter& filter = TheIncomingFilter();
  ASSERT_TRUE(FindTextLink("Buy VIAGRA at www.example.com/x", 0));
  EXPECT_EQ(filter.link, "http://www.example.com/x");
  ASSERT_TRUE(FindTextLink("see http://a.example/b?c=1 now", 1));
  EXPECT_EQ(filter.secondLink, "http://a.example/b");
  EXPECT_EQ(filter.link, "");
  ASSERT_TRUE(FindTextLink("(http://a.example/p), then", 0));
  EXPECT_EQ(filter.link, "http://a.example/p");
  EXPECT_FALSE(FindTextLink("no link in here", 0));
  filter.link.clear();
  filter.secondLink.clear();
}

TEST(ContentTests, CharsetLinkCharacterAndAddressRules) {
  EXPECT_EQ(DeclaredCharset("<meta content=\"text/html; charset=koi8-r\">"), "koi8-r");
  EXPECT_EQ(DeclaredCharset("<meta charset=\"gb2312\">"), "");
  EXPECT_EQ(DeclaredCharset("charset=gb2312 without a quote"), "");
  EXPECT_TRUE(IsForeignCharset("koi8-r"));
  EXPECT_FALSE(IsForeignCharset("KOI8-R"));  // callers lower-case first
  EXPECT_FALSE(IsForeignCharset("utf-8"));
  EXPECT_EQ(HtmlLink("<a href=\"http://www.example.com\">x</a>"), "\"http://www.example.com\"");
  EXPECT_EQ(HtmlLink("<a href=\"mailto:x@y\">x</a>"), "");

  std::string at_300 = std::string(299, 'a') + "\xC3\xA9" + std::string(700, 'b');
  std::string at_200 = std::string(199, 'a') + "\xC3\xA9" + std::string(800, 'b');
  EXPECT_FALSE(HasNonAsciiCharacter(at_300, 250));
  EXPECT_TRUE(HasNonAsciiCharacter(at_200, 250));
  EXPECT_TRUE(HasNonAsciiCharacter(at_300));
  EXPECT_FALSE(HasNonAsciiCharacter("plain ascii"));

  EXPECT_EQ(DomainOfAddress(" a@b.example "), "b.example");
  EXPECT_EQ(DomainOfAddress(" nobody "), "nobody");
  EXPECT_EQ(DomainOfAddress("a@b@c"), "b@c");
}

TEST(Registration, RegisterWritesWhatTheClientLoadsAndUnregisterRemovesIt) {
  auto registry = vexmor::platform::MakeMemoryRegistry();
  EXPECT_TRUE(StartupAddins(*registry).empty());
  ASSERT_EQ(RegisterAddin(*registry, "/opt/vexmor/libVexmor_Addin.so"), vexmor::com::S_OK);
  auto addins = StartupAddins(*registry);
  ASSERT_EQ(addins.size(), 1u);
  EXPECT_EQ(addins[0].prog_id, "Vexmor.OutLookPlugin");
  EXPECT_EQ(addins[0].clsid, vexmor::com::CLSID_OutLook);
  EXPECT_EQ(addins[0].library, "/opt/vexmor/libVexmor_Addin.so");
  std::string clsid_key =
      "Software\\Classes\\CLSID\\" + vexmor::com::GuidToString(vexmor::com::CLSID_OutLook);
  EXPECT_EQ(registry->QueryValue(clsid_key + "\\InprocServer32", "ThreadingModel")->data,
            "Apartment");
  EXPECT_TRUE(registry->KeyExists(clsid_key + "\\Programmable"));
  EXPECT_EQ(
      registry->QueryValue(std::string(kAddinsKey) + "\\Vexmor.OutLookPlugin", "CommandLineSafe")
          ->dword,
      0u);

  // A load behaviour other than "at start-up" keeps the add-in out.
  ASSERT_TRUE(registry
                  ->SetValue(std::string(kAddinsKey) + "\\Vexmor.OutLookPlugin", "LoadBehavior",
                             vexmor::platform::RegistryValue::Dword(2))
                  .ok());
  EXPECT_TRUE(StartupAddins(*registry).empty());

  EXPECT_EQ(UnregisterAddin(*registry), vexmor::com::S_OK);
  EXPECT_FALSE(registry->KeyExists(clsid_key));
  EXPECT_FALSE(registry->KeyExists("Software\\Classes\\Vexmor.OutLookPlugin"));
  EXPECT_EQ(UnregisterAddin(*registry), vexmor::com::S_OK);

  vexmor::com::GUID parsed{};
  EXPECT_TRUE(
      vexmor::com::GuidFromString(vexmor::com::GuidToString(vexmor::com::IID_IExchExt), &parsed));
  EXPECT_EQ(parsed, vexmor::com::IID_IExchExt);
  EXPECT_FALSE(vexmor::com::GuidFromString("{00020D11-0000-0000-C000-00000000004}", &parsed));

  std::string record = DisabledItemRecord("/opt/Vexmor/libVexmor_Addin.so", "Vexmor");
  EXPECT_TRUE(RecordNamesLibrary(record, "/OPT/vexmor/libvexmor_addin.so"));
  EXPECT_FALSE(RecordNamesLibrary(record, "/opt/other/lib.so"));
  EXPECT_EQ(EcfLibrary(EcfText("/opt/v/libVexmor_Addin.so")), "/opt/v/libVexmor_Addin.so");
  EXPECT_EQ(EcfLibrary("[General]\r\nPath=\"/x/y.so\"\r\n"), "/x/y.so");
  EXPECT_EQ(EcfLibrary("[General]\n"), "");
}

}  // namespace
