// A real wxWidgets message box on an X display (ctest runs this under xvfb-run): the test waits
// for the box, saves a screenshot, clicks a button with synthetic mouse input and checks the
// answer the adapter returns.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/dialog.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/msgdlg.h>
// After msgdlg.h, which declares the base class.
#include <wx/generic/msgdlgg.h>
#include <wx/timer.h>
#include <wx/uiaction.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "vexmor/platform/desktop.h"

namespace vexmor::platform {
namespace {

// Watches for the box on wxWidgets' own timer, so it runs inside the box's modal loop.
class BoxPresser final : public wxTimer {
 public:
  struct Seen {
    bool found = false;
    std::string title;
    std::string message;
    bool has_yes = false;
    bool has_no = false;
    bool clicked = false;
    int ticks_after_click = 0;
  };

  BoxPresser(int button_id, std::function<void(wxDialog*)> on_shown)
      : button_id_(button_id), on_shown_(std::move(on_shown)) {}

  const Seen& seen() const { return seen_; }

  void Notify() override {
    if (++ticks_ > 400) {  // 20 s: give up rather than hang the suite
      Stop();
      return;
    }
    wxDialog* dialog = FindBox();
    if (dialog == nullptr) return;
    if (!seen_.found) {
      seen_.found = true;
      seen_.title = dialog->GetTitle().utf8_string();
      if (auto* generic = dynamic_cast<wxGenericMessageDialog*>(dialog)) {
        seen_.message = generic->GetMessage().utf8_string();
      }
      seen_.has_yes = dialog->FindWindow(wxID_YES) != nullptr;
      seen_.has_no = dialog->FindWindow(wxID_NO) != nullptr;
      shown_at_ = ticks_;
      return;
    }
    if (!seen_.clicked && ticks_ - shown_at_ >= 10) {  // let it paint first
      if (on_shown_) on_shown_(dialog);
      wxWindow* button = dialog->FindWindow(button_id_);
      if (button == nullptr) {
        Stop();
        return;
      }
      const wxRect rect = button->GetScreenRect();
      wxUIActionSimulator simulator;
      simulator.MouseMove(rect.GetLeft() + rect.GetWidth() / 2,
                          rect.GetTop() + rect.GetHeight() / 2);
      wxYield();
      simulator.MouseClick();
      seen_.clicked = true;
      return;
    }
    if (seen_.clicked && ++seen_.ticks_after_click > 100) {
      // The click never arrived: close the box so the suite goes on; the test then fails.
      dialog->EndModal(wxID_CANCEL);
      Stop();
    }
  }

 private:
  static wxDialog* FindBox() {
    for (wxWindow* window : wxTopLevelWindows) {
      auto* dialog = dynamic_cast<wxDialog*>(window);
      if (dialog != nullptr && dialog->IsShown() && dialog->IsModal()) return dialog;
    }
    return nullptr;
  }

  int button_id_;
  std::function<void(wxDialog*)> on_shown_;
  Seen seen_;
  int ticks_ = 0;
  int shown_at_ = 0;
};

// Saves the whole screen and returns how many different colours the box's area holds.
std::size_t SaveScreenshot(const std::string& path, const wxRect& box) {
  wxScreenDC screen;
  const wxSize size = screen.GetSize();
  wxBitmap bitmap(size.GetWidth(), size.GetHeight(), 24);
  {
    wxMemoryDC memory(bitmap);
    memory.Blit(0, 0, size.GetWidth(), size.GetHeight(), &screen, 0, 0);
  }
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  bitmap.SaveFile(path, wxBITMAP_TYPE_PNG);
  const wxImage image = bitmap.ConvertToImage();
  std::set<unsigned long> colours;
  const wxRect inside = box.Intersect(wxRect(0, 0, image.GetWidth(), image.GetHeight()));
  for (int y = inside.GetTop(); y < inside.GetBottom(); y += 2) {
    for (int x = inside.GetLeft(); x < inside.GetRight(); x += 2) {
      colours.insert((static_cast<unsigned long>(image.GetRed(x, y)) << 16) |
                     (static_cast<unsigned long>(image.GetGreen(x, y)) << 8) | image.GetBlue(x, y));
    }
  }
  return colours.size();
}

class WxMessageBoxTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') return;
    static int argc = 1;
    static char name[] = "desktop_wx_test";
    static char* argv[] = {name, nullptr};
    wxApp::SetInstance(new wxApp());
    started_ = wxEntryStart(argc, argv) && wxTheApp->CallOnInit();
    wxImage::AddHandler(new wxPNGHandler());
    // A failed wxWidgets assertion would open a modal box of its own and stall the suite.
    wxSetAssertHandler([](const wxString& file, int line, const wxString& func,
                          const wxString& cond, const wxString& msg) {
      ADD_FAILURE() << "wxWidgets assertion in " << func.utf8_string() << " (" << file.utf8_string()
                    << ":" << line << "): " << cond.utf8_string() << " " << msg.utf8_string();
    });
  }
  static void TearDownTestSuite() {
    if (started_) wxEntryCleanup();
  }
  void SetUp() override {
    if (!started_) GTEST_SKIP() << "no X display; ctest runs this test under xvfb-run";
  }

  static bool started_;
};
bool WxMessageBoxTest::started_ = false;

TEST_F(WxMessageBoxTest, ShowsTheQuestionAndReturnsTheButtonClicked) {
  std::unique_ptr<MessageBoxes> boxes = MakeWxMessageBoxes();
  MessageBoxRequest request;
  request.text =
      "Outlook Express is currently running. Vexmor will close Outlook Express now. \nDo you "
      "want to continue ?";
  request.caption = "Vexmor";
  request.buttons = MessageBoxButtons::kYesNo;
  request.icon = MessageBoxIcon::kQuestion;

  const char* configured = std::getenv("VEXMOR_SCREENSHOT");
  const std::string screenshot =
      configured != nullptr && *configured != '\0'
          ? configured
          : (std::filesystem::temp_directory_path() / "vexmor_wx_message_box.png").string();
  std::size_t colours = 0;

  // Yes first, with the screenshot taken while the box is on the screen.
  BoxPresser yes(wxID_YES, [&](wxDialog* dialog) {
    colours = SaveScreenshot(screenshot, dialog->GetScreenRect());
  });
  yes.Start(50);
  StatusOr<MessageBoxAnswer> answer = boxes->Show(request);
  yes.Stop();
  ASSERT_TRUE(answer.ok()) << answer.status().ToString();
  EXPECT_EQ(*answer, MessageBoxAnswer::kYes);
  EXPECT_TRUE(yes.seen().found);
  EXPECT_EQ(yes.seen().title, "Vexmor");
  EXPECT_EQ(yes.seen().message, request.text);
  EXPECT_TRUE(yes.seen().has_yes);
  EXPECT_TRUE(yes.seen().has_no);
  EXPECT_TRUE(std::filesystem::exists(screenshot));
  EXPECT_GT(colours, 3u) << "the box's area of the screenshot is blank";
  std::printf("screenshot: %s\n", screenshot.c_str());

  // Then No on a second box: the answer follows the button, not a fixed default.
  BoxPresser no(wxID_NO, nullptr);
  no.Start(50);
  answer = boxes->Show(request);
  no.Stop();
  ASSERT_TRUE(answer.ok()) << answer.status().ToString();
  EXPECT_EQ(*answer, MessageBoxAnswer::kNo);
}

TEST_F(WxMessageBoxTest, OkBoxWithoutQuestionButtonsAnswersOk) {
  std::unique_ptr<MessageBoxes> boxes = MakeWxMessageBoxes();
  MessageBoxRequest request;
  request.text = "Please enter valid e-mail address.";
  request.caption = "Vexmor";
  BoxPresser ok(wxID_OK, nullptr);
  ok.Start(50);
  StatusOr<MessageBoxAnswer> answer = boxes->Show(request);
  ok.Stop();
  ASSERT_TRUE(answer.ok()) << answer.status().ToString();
  EXPECT_EQ(*answer, MessageBoxAnswer::kOk);
  EXPECT_FALSE(ok.seen().has_yes);
}

}  // namespace
}  // namespace vexmor::platform
