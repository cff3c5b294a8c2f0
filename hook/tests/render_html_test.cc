#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "vexmor/hook/mail_analysis.h"
#include "vexmor/testing/test_support.h"

namespace vexmor::hook {
namespace {

using vexmor::testing::ReadFileOrEmpty;
using vexmor::testing::TempDir;

class ThrowingHtml final : public platform::HtmlText {
 public:
  std::string VisibleText(std::string_view) const override { throw std::runtime_error("boom"); }
};

class RenderHtmlTest : public ::testing::Test {
 protected:
  HtmlRenderContext Context() {
    HtmlRenderContext context;
    context.install_dir = dir_.path();
    context.html = html_.get();
    context.error_log = [this](const std::string& line) { log_ += line; };
    return context;
  }
  TempDir dir_;
  std::unique_ptr<platform::HtmlText> html_ = platform::MakeGumboHtmlText();
  std::string log_;
};

TEST_F(RenderHtmlTest, WritesTheScratchFileAndRendersIt) {
  std::string section = "<html><body><p>Buy</p><script>x()</script>now</body></html>";
  EXPECT_EQ(RenderHtmlText(Context(), section), "Buy\r\nnow");
  EXPECT_EQ(ReadFileOrEmpty(dir_.File("Vexmor_Content.html")), section);
  // A shorter text leaves nothing of the longer one behind.
  EXPECT_EQ(RenderHtmlText(Context(), "<b>hi</b>"), "hi");
  EXPECT_EQ(ReadFileOrEmpty(dir_.File("Vexmor_Content.html")), "<b>hi</b>");
}

// The keyword rule skips the parse for text the converter would only fold: check that claim
// against the converter itself, and that everything else is still parsed.
TEST_F(RenderHtmlTest, PlainPrintableTextRendersToItselfWithItsBlanksFolded) {
  auto folded = [](const std::string& text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f') {
        blank = !out.empty();
        continue;
      }
      if (blank) out += ' ';
      blank = false;
      out += c;
    }
    return out;
  };
  for (const std::string& text : std::vector<std::string>{
           "Buy  VIAGRA\r\nnow", "  lead\tand trail \n\n", "a>b \"q\" 'x' #1; =20 ~!@$%^*()[]{}|/?",
           "http://cheap-deals.biz/?a=1 x", "ends with a greater-than >", "line\fbreak"}) {
    ASSERT_FALSE(RenderingMayJoinText(text)) << text;
    EXPECT_EQ(RenderHtmlText(Context(), text), folded(text)) << text;
  }
  for (const std::string& text :
       std::vector<std::string>{"VIA<b></b>GRA", "VI&#65;GRA", std::string("VIA\0GRA", 7),
                                "VIA\x01GRA", "caf\xE9 VIAGRA", "VIA\x7FGRA"}) {
    EXPECT_TRUE(RenderingMayJoinText(text)) << text;
  }
  WriteContentScratch(Context(), "plain text");
  EXPECT_EQ(ReadFileOrEmpty(dir_.File("Vexmor_Content.html")), "plain text");
}

// The keyword rule skips the parse where markup cannot form a keyword: check that claim
// against the converter on many mixtures of word pieces, tags, references and blanks.
TEST_F(RenderHtmlTest, MarkupFormsNoWordWhereTheQuickCheckSaysItCannot) {
  const std::vector<std::string_view> words = {"VIAGRA", "CIALIS", "PHARMACEUTICAL"};
  // Pieces separated by "|".
  const std::string joined =
      "via|GRA|Cia|lis|PHARMA|ceutical|x| |\n|<b>|</b>|<br>|<div>|</div>|<table>|<tr>|<td>|"
      "</table>|<script>q</script>|<!--c-->|&#65;|&amp;|& |<p>|<3|>|<title>t</title>|<pre>|"
      "VI|a|G|ra|C|IAL|is|ph|ARMACEU|tic|AL|</td><td>|<a title='>'>|<a title=\"<\">|<svg>|"
      "<![CDATA[|]]>|</svg>|<frameset>|<textarea>|</textarea>|<i|<!-- |-->|</|<?x>|<select>|"
      "<option>|<li>|<span>|</tr>|<caption>|&nbsp;|&lt;|&ampx|&fjlig;|&#x56;|\xE9|\xA0|\x81|"
      "&shy;|&Tab;|&not|\x7F|&#149;|&#x41;|&#71|&#0;|&#x;|&#10;|&#8220;|&#97;|&#99999999999;";
  std::vector<std::string> pieces;
  for (size_t start = 0, bar; start <= joined.size(); start = bar + 1) {
    bar = std::min(joined.find('|', start), joined.size());
    pieces.push_back(joined.substr(start, bar - start));
  }
  auto upper = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  };
  auto holds_word = [&](const std::string& text) {
    std::string up = upper(text);
    return std::any_of(words.begin(), words.end(),
                       [&](std::string_view w) { return up.find(w) != std::string::npos; });
  };
  std::mt19937 random(7);
  int skipped = 0;
  int formed = 0;
  for (int round = 0; round < 30000; ++round) {
    std::string section;
    for (int n = 1 + static_cast<int>(random() % 10); n > 0; --n) {
      section += pieces[random() % pieces.size()];
    }
    if (holds_word(section)) continue;
    bool renders_word = holds_word(html_->VisibleText(section));
    formed += renders_word ? 1 : 0;
    if (RenderingMayFormWord(section, words)) continue;
    ++skipped;
    EXPECT_FALSE(renders_word) << section;
  }
  // Both kinds of section were met: some that the converter turns into a word, many skipped.
  EXPECT_GT(formed, 20);
  EXPECT_GT(skipped, 5000);
}

// The check looks past a word's beginning before a tag: the rest of the word must start after a
// tag's end for the parse to be worth it.
TEST_F(RenderHtmlTest, QuickCheckWeighsWhatFollowsTheTag) {
  const std::vector<std::string_view> words = {"VIAGRA", "CIALIS", "PHARMACEUTICAL"};
  for (const std::string section :
       {"<p>Stop<br>Click the topic<b>now</b></p>", "Via <b>x</b> gra", "vi<b>x</b> agra<br>",
        "VIA<b>GR A</b>", "<p>pharma<br>x ceutical</p>",
        "Caf\xE9&nbsp;<b>Cheap</b> pills&amp; more&lt;br&gt; &#149; &#x2014;&#8220;Vi&#10;agra"}) {
    EXPECT_FALSE(RenderingMayFormWord(section, words)) << section;
  }
  for (const std::string& section : std::vector<std::string>{
           "VI<b>AG</b>RA", "VIA<table><tr><td>x</td></tr>gra</table>", "c<!-- x -->IA<i>lis</i>",
           "<svg><![CDATA[VIA]]>GRA</svg>", "PHARMA<script>x</script>CEUTICAL", "VI&#x41;GRA",
           "VIA&#0071;RA", "<b>&nbsp;Vi</b>agra", std::string("VIA\0GRA", 7)}) {
    EXPECT_TRUE(RenderingMayFormWord(section, words)) << section;
    // Each of these does render into a word.
    std::string text = html_->VisibleText(section);
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(std::any_of(words.begin(), words.end(), [&](std::string_view w) {
      return text.find(w) != std::string::npos;
    })) << section;
  }
}

TEST_F(RenderHtmlTest, NormalisesHtmlBodiesThroughTheirVisibleText) {
  std::string body = "junk before <HTML><BODY>Cheap&nbsp;=20pills<br>today</BODY></HTML> after";
  EXPECT_EQ(NormaliseContent(Context(), 1, "Subj ", body), "Subj Cheap\xA0:pills\r\ntoday");
}

TEST_F(RenderHtmlTest, ConverterFailureIsLoggedAndTheSectionReturned) {
  ThrowingHtml throwing;
  HtmlRenderContext context = Context();
  context.html = &throwing;
  EXPECT_EQ(RenderHtmlText(context, "<p>x</p>"), "<p>x</p>");
  EXPECT_EQ(log_, "[F] Some error occurred in Function_3.\n");
}

TEST_F(RenderHtmlTest, AScratchFileThatIsALinkIsNotFollowed) {
  std::string target = dir_.File("precious.txt");
  vexmor::testing::WriteFileOrDie(target, "keep me");
  ASSERT_EQ(symlink(target.c_str(), dir_.File("Vexmor_Content.html").c_str()), 0);
  EXPECT_EQ(RenderHtmlText(Context(), "<p>x</p>"), "<p>x</p>");
  EXPECT_EQ(ReadFileOrEmpty(target), "keep me");
}

TEST_F(RenderHtmlTest, WithoutAnInstallDirectoryRendersInMemory) {
  HtmlRenderContext context = Context();
  context.install_dir.clear();
  EXPECT_EQ(RenderHtmlText(context, "<b>bold</b>"), "bold");
}

class CountingHtml final : public platform::HtmlText {
 public:
  std::string VisibleText(std::string_view html) const override {
    ++calls;
    return "text of " + std::string(html);
  }
  mutable int calls = 0;
};

TEST_F(RenderHtmlTest, OneMessageNormalisedTwiceIsRenderedOnce) {
  CountingHtml counting;
  HtmlRenderContext context = Context();
  context.html = &counting;
  std::string first = NormaliseContent(context, 1, "s", "<html>a</html>");
  EXPECT_EQ(NormaliseContent(context, 1, "other subject", "<html>a</html>"),
            "other subjecttext of <html>a</html>");
  EXPECT_EQ(first, "stext of <html>a</html>");
  EXPECT_EQ(counting.calls, 1);
  NormaliseContent(context, 1, "s", "<html>b</html>");
  EXPECT_EQ(counting.calls, 2);
  NormaliseContent(context, 0, "s", "<html>b</html>");  // plain bodies are never rendered
  EXPECT_EQ(counting.calls, 2);
}

TEST_F(RenderHtmlTest, ConcurrentRenderersNeverSwapMessages) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        std::string mark = "message" + std::to_string(t) + "x" + std::to_string(i);
        if (RenderHtmlText(Context(), "<p>" + mark + "</p>") != mark) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace vexmor::hook
