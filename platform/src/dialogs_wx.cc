// The product's dialogs on the user's display through wxWidgets, on one user-interface thread.
#include <wx/animate.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/gauge.h>
#include <wx/generic/animate.h>
#include <wx/init.h>
#include <wx/listctrl.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
// After msgdlg.h, which declares the base class.
#include <wx/generic/msgdlgg.h>
#include <wx/radiobut.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/thread.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "desktop_wx_internal.h"
#include "vexmor/platform/dialogs.h"

namespace vexmor::platform {
namespace {

// Control ids of the dialogs, as the product's other code and its tests know them.
enum : int {
  kLibraryIcon = 12999,
  kProgressCount = 13001,
  kProgressPercent = 13002,
  kProgressFrame = 13003,
  kProgressMessage = 13004,
  kProgressCancel = 13010,
  kProgressBar = 13015,
  kProgressAnimation = 13050,
  kSendersList = 13501,
  kSendersDescription = 13510,
  kSendersCount = 13511,
  kSendersOuterFrame = 13520,
  kSendersRadioFrame = 13521,
  kSendersAdd = 13530,
  kSendersDelete = 13531,
  kSendersClose = 13532,
  kSendersRadioEmail = 13540,
  kSendersRadioDomain = 13541,
  kNewFrame = 13551,
  kNewLabel = 13552,
  kNewHint = 13553,
  kNewAdd = 13560,
  kNewCancel = 13561,
  kNewEdit = 13570,
  kSelectAll = 14710,
};

bool DisplayNamed() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// The wxWidgets thread: the program's own when it runs wxWidgets, else one this adapter starts
// on first use and keeps for the life of the process.
class WxThread {
 public:
  static WxThread& Instance() {
    static WxThread* instance = new WxThread();  // outlives every static destructor
    return *instance;
  }

  bool Ensure() {
    std::unique_lock lock(mutex_);
    if (state_ == State::kNotStarted) {
      if (wxTheApp != nullptr) {
        state_ = State::kBorrowed;
      } else if (!DisplayNamed()) {
        state_ = State::kFailed;
      } else {
        state_ = State::kStarting;
        std::thread(&WxThread::Main, this).detach();
        changed_.wait(lock, [this] { return state_ != State::kStarting; });
        if (state_ == State::kRunning) std::atexit([] { Instance().Stop(); });
      }
    }
    return state_ == State::kRunning || state_ == State::kBorrowed;
  }

  bool Post(std::function<void()> task) {
    if (!Ensure()) return false;
    std::lock_guard lock(mutex_);
    if (state_ == State::kStopped || wxTheApp == nullptr) return false;
    wxTheApp->CallAfter(std::move(task));
    return true;
  }

 private:
  enum class State { kNotStarted, kStarting, kRunning, kBorrowed, kFailed, kStopped };

  void Main() {
    static int argc = 1;
    static char name[] = "vexmor";
    static char* argv[] = {name, nullptr};
    wxApp::SetInstance(new wxApp());
    const bool ok = wxEntryStart(argc, argv) && wxTheApp->CallOnInit();
    {
      std::lock_guard lock(mutex_);
      state_ = ok ? State::kRunning : State::kFailed;
    }
    changed_.notify_all();
    if (!ok) return;
    // wxWidgets' own complaints go to standard error, never into boxes of their own.
    delete wxLog::SetActiveTarget(new wxLogStderr());
    // Dialogs come and go; the loop stays until the process ends.
    wxTheApp->SetExitOnFrameDelete(false);
    wxTheApp->OnRun();
    {
      std::lock_guard lock(mutex_);  // no task is posted from here on
      state_ = State::kStopped;
    }
    for (wxWindow* window : wxTopLevelWindows) window->Destroy();
    wxTheApp->ProcessIdle();
    wxEntryCleanup();
    {
      std::lock_guard lock(mutex_);
      cleaned_up_ = true;
    }
    changed_.notify_all();
  }

  // At exit: ends the loop and lets wxWidgets clean up on its own thread, so that no window
  // is left to the static destructors. A thread that does not answer soon is left behind.
  void Stop() {
    std::unique_lock lock(mutex_);
    if (state_ != State::kRunning) return;
    wxTheApp->CallAfter([] { wxTheApp->ExitMainLoop(); });
    changed_.wait_for(lock, std::chrono::seconds(2), [this] { return cleaned_up_; });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::kNotStarted;
  bool cleaned_up_ = false;
};

// Runs a task on the wxWidgets thread and returns its result to a waiting caller.
template <typename T>
StatusOr<T> Call(std::function<T()> task) {
  if (wxTheApp != nullptr && wxIsMainThread()) {
    return Status::Internal("the wxWidgets thread cannot wait for itself");
  }
  auto promise = std::make_shared<std::promise<T>>();
  std::future<T> result = promise->get_future();
  if (!WxThread::Instance().Post([promise, task] { promise->set_value(task()); })) {
    return Status::Unavailable("no display to show a dialog on");
  }
  return result.get();
}

wxString Wx(const std::string& utf8) {
  return wxString::FromUTF8(utf8);
}

// The library's window icon: an envelope crossed by a red bar, drawn here.
wxIcon LibraryIcon() {
  wxImage image(16, 16);
  image.InitAlpha();
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) image.SetAlpha(x, y, 0);
  }
  auto put = [&](int x, int y, unsigned char r, unsigned char g, unsigned char b) {
    if (x < 0 || y < 0 || x > 15 || y > 15) return;
    image.SetRGB(x, y, r, g, b);
    image.SetAlpha(x, y, 255);
  };
  for (int y = 3; y <= 12; ++y) {
    for (int x = 1; x <= 14; ++x) {
      const bool edge = y == 3 || y == 12 || x == 1 || x == 14;
      if (edge) {
        put(x, y, 0x1f, 0x3f, 0x8f);
      } else {
        put(x, y, 0xf4, 0xf4, 0xe8);
      }
    }
  }
  for (int x = 2; x <= 13; ++x) {  // the flap
    const int y = 4 + (x <= 7 ? x - 2 : 13 - x);
    put(x, y, 0x1f, 0x3f, 0x8f);
  }
  for (int i = 0; i < 16; ++i) {  // the bar, two pixels wide
    put(i, 15 - i, 0xd0, 0x10, 0x10);
    put(i + 1, 15 - i, 0xd0, 0x10, 0x10);
  }
  wxIcon icon;
  icon.CopyFromBitmap(wxBitmap(image));
  return icon;
}

MessageBoxAnswer AnswerOf(int result, MessageBoxButtons buttons) {
  switch (result) {
    case wxID_OK:
      return MessageBoxAnswer::kOk;
    case wxID_YES:
      return MessageBoxAnswer::kYes;
    case wxID_NO:
      return MessageBoxAnswer::kNo;
    default:
      return buttons == MessageBoxButtons::kYesNo ? MessageBoxAnswer::kNo
                                                  : MessageBoxAnswer::kCancel;
  }
}

// ---------------------------------------------------------------------------------------------
// Progress dialog: modeless, so that several dialogs share the one thread.

struct ProgressShared {
  wxDialog* dialog = nullptr;  // user-interface thread only; null once closed
  wxGenericAnimationCtrl* animation = nullptr;
  std::promise<bool> closed;
};

void CloseProgress(const std::shared_ptr<ProgressShared>& shared, bool accepted) {
  if (shared->dialog == nullptr) return;
  if (shared->animation != nullptr) shared->animation->Stop();
  shared->dialog->Destroy();
  shared->dialog = nullptr;
  shared->animation = nullptr;
  shared->closed.set_value(accepted);
}

class WxProgressWindow final : public ProgressWindow {
 public:
  explicit WxProgressWindow(std::shared_ptr<ProgressShared> shared) : shared_(std::move(shared)) {}

  void Update(const ProgressUpdate& update) override {
    Run([update](ProgressShared& shared) {
      auto* count = dynamic_cast<wxStaticText*>(shared.dialog->FindWindow(kProgressCount));
      auto* percent = dynamic_cast<wxStaticText*>(shared.dialog->FindWindow(kProgressPercent));
      auto* bar = dynamic_cast<wxGauge*>(shared.dialog->FindWindow(kProgressBar));
      if (count != nullptr) count->SetLabel(Wx(update.count_text));
      if (percent != nullptr) percent->SetLabel(Wx(update.percent_text));
      if (bar != nullptr && update.range > 0) {
        bar->SetRange(update.range);
        bar->SetValue(std::min(update.position, update.range));
      }
    });
  }

  void Finish(bool accepted) override {
    auto shared = shared_;
    WxThread::Instance().Post([shared, accepted] { CloseProgress(shared, accepted); });
  }

 private:
  void Run(std::function<void(ProgressShared&)> change) {
    auto shared = shared_;
    WxThread::Instance().Post([shared, change] {
      if (shared->dialog != nullptr) change(*shared);
    });
  }

  std::shared_ptr<ProgressShared> shared_;
};

void OpenProgress(const ProgressDialogRequest& request, ProgressLogic& logic,
                  const std::shared_ptr<ProgressShared>& shared) {
  auto* dialog = new wxDialog(nullptr, wxID_ANY, Wx(request.caption), wxDefaultPosition,
                              wxDefaultSize, wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX);
  auto at = [dialog](int x, int y) { return dialog->ConvertDialogToPixels(wxPoint(x, y)); };
  auto size = [dialog](int w, int h) { return dialog->ConvertDialogToPixels(wxSize(w, h)); };
  dialog->SetClientSize(size(256, 102));
  dialog->SetIcon(LibraryIcon());
  new wxStaticBox(dialog, kProgressFrame, wxString(), at(2, 0), size(252, 82));
  auto* animation = new wxGenericAnimationCtrl(dialog, kProgressAnimation, wxNullAnimation,
                                               at(12, 12), size(65, 32), wxAC_NO_AUTORESIZE);
  auto* message =
      new wxStaticText(dialog, kProgressMessage, Wx(request.message), at(84, 17), size(165, 26));
  message->Wrap(size(165, 26).GetWidth());
  new wxGauge(dialog, kProgressBar, 1, at(10, 51), size(205, 11));
  new wxStaticText(dialog, kProgressPercent, wxString(), at(220, 51), size(25, 11));
  new wxStaticText(dialog, kProgressCount, wxString(), at(84, 67), size(165, 10));
  new wxButton(dialog, kProgressCancel, "Cancel", at(204, 84), size(50, 15));
  dialog->SetEscapeId(kProgressCancel);

  auto stop = [shared, &logic] {
    if (shared->dialog == nullptr) return;
    logic.StoppedByUser();
    CloseProgress(shared, false);
  };
  dialog->Bind(
      wxEVT_BUTTON, [stop](wxCommandEvent&) { stop(); }, kProgressCancel);
  dialog->Bind(wxEVT_CLOSE_WINDOW, [stop](wxCloseEvent&) { stop(); });

  shared->dialog = dialog;
  shared->animation = animation;
  for (const std::string& file : request.animation_files) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) continue;
    wxLogNull quiet;  // a file that is not a clip is skipped without a word
    if (animation->LoadFile(Wx(file))) {
      animation->Play(true);
      break;
    }
  }
  dialog->Centre();
  dialog->Show();
  logic.Started(std::make_shared<WxProgressWindow>(shared));
}

// ---------------------------------------------------------------------------------------------
// Senders dialog.

class WxSendersWindow final : public SendersWindow {
 public:
  WxSendersWindow(wxDialog* dialog, wxListCtrl* list) : dialog_(dialog), list_(list) {}

  void SetCaption(const std::string& caption) override { dialog_->SetTitle(Wx(caption)); }
  void SetDescription(const std::string& text) override { SetLabel(kSendersDescription, text); }
  void SetCountText(const std::string& text) override { SetLabel(kSendersCount, text); }
  void SetColumnHeader(const std::string& text) override {
    wxListItem column;
    column.SetMask(wxLIST_MASK_TEXT);
    column.SetText(Wx(text));
    list_->SetColumn(0, column);
    list_->SetColumnWidth(0, dialog_->FromDIP(330));
  }
  void SetDomainRadio(bool domain) override {
    auto* email = dynamic_cast<wxRadioButton*>(dialog_->FindWindow(kSendersRadioEmail));
    auto* other = dynamic_cast<wxRadioButton*>(dialog_->FindWindow(kSendersRadioDomain));
    if (email != nullptr) email->SetValue(!domain);
    if (other != nullptr) other->SetValue(domain);
  }
  void SetRows(const std::vector<SenderRow>& rows) override {
    filling_ = true;
    list_->DeleteAllItems();
    for (const SenderRow& row : rows) AppendRow(row);
    filling_ = false;
  }
  void AppendRow(const SenderRow& row) override {
    const bool was_filling = filling_;
    filling_ = true;
    const long index = list_->InsertItem(list_->GetItemCount(), Wx(row.text));
    list_->SetItemData(index, static_cast<wxUIntPtr>(row.key));
    if (row.ticked) list_->CheckItem(index, true);
    filling_ = was_filling;
  }
  bool RemoveRow(std::int64_t key) override {
    const long index = list_->FindItem(-1, static_cast<wxUIntPtr>(key));
    return index >= 0 && list_->DeleteItem(index);
  }
  std::vector<SenderRow> Rows() const override {
    std::vector<SenderRow> rows;
    for (long i = 0; i < list_->GetItemCount(); ++i) {
      rows.push_back({static_cast<std::int64_t>(list_->GetItemData(i)),
                      list_->GetItemText(i).utf8_string(), list_->IsItemChecked(i)});
    }
    return rows;
  }
  void TickAll(bool ticked) override {
    filling_ = true;
    for (long i = 0; i < list_->GetItemCount(); ++i) list_->CheckItem(i, ticked);
    filling_ = false;
  }
  void EnableDelete(bool enabled) override {
    if (wxWindow* button = dialog_->FindWindow(kSendersDelete)) button->Enable(enabled);
  }
  std::optional<std::string> AskNewAddress(const NewAddressRequest& request) override;
  MessageBoxAnswer ShowBox(const MessageBoxRequest& request) override {
    wxWindow* parent = box_parent_ != nullptr ? box_parent_ : dialog_;
    wxGenericMessageDialog box(parent, Wx(request.text), Wx(request.caption),
                               WxMessageBoxStyle(request));
    return AnswerOf(box.ShowModal(), request.buttons);
  }

  // Ticks changed by the list itself while rows are set are not the user's.
  bool filling() const { return filling_; }

 private:
  void SetLabel(int id, const std::string& text) {
    if (wxWindow* label = dialog_->FindWindow(id)) label->SetLabel(Wx(text));
  }

  wxDialog* dialog_;
  wxListCtrl* list_;
  wxWindow* box_parent_ = nullptr;
  bool filling_ = false;
};

std::optional<std::string> WxSendersWindow::AskNewAddress(const NewAddressRequest& request) {
  wxDialog box(dialog_, wxID_ANY, Wx(request.caption), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX);
  auto at = [&box](int x, int y) { return box.ConvertDialogToPixels(wxPoint(x, y)); };
  auto size = [&box](int w, int h) { return box.ConvertDialogToPixels(wxSize(w, h)); };
  box.SetClientSize(size(219, 70));
  box.SetIcon(LibraryIcon());
  new wxStaticBox(&box, kNewFrame, wxString(), at(4, 0), size(211, 48));
  new wxStaticText(&box, kNewLabel, "Name", at(10, 13), size(27, 10));
  auto* edit = new wxTextCtrl(&box, kNewEdit, wxString(), at(39, 11), size(172, 14));
  new wxStaticText(&box, kNewHint, Wx(request.hint), at(39, 29), size(172, 19));
  new wxButton(&box, kNewAdd, "&Add", at(107, 52), size(50, 15));
  new wxButton(&box, kNewCancel, "&Cancel", at(161, 52), size(50, 15));
  box.SetEscapeId(kNewCancel);
  box.SetAffirmativeId(kNewAdd);
  box.Bind(
      wxEVT_BUTTON,
      [&](wxCommandEvent&) {
        if (request.accept(edit->GetValue().utf8_string())) box.EndModal(kNewAdd);
      },
      kNewAdd);
  box.Bind(
      wxEVT_BUTTON, [&](wxCommandEvent&) { box.EndModal(kNewCancel); }, kNewCancel);
  edit->SetFocus();
  box.CentreOnParent();
  wxWindow* previous = box_parent_;
  box_parent_ = &box;
  const int result = box.ShowModal();
  box_parent_ = previous;
  if (result != kNewAdd) return std::nullopt;
  return edit->GetValue().utf8_string();
}

struct SendersShared {
  wxDialog* dialog = nullptr;
  std::unique_ptr<WxSendersWindow> window;
  std::promise<void> closed;
};

void OpenSenders(SendersLogic& logic, const std::shared_ptr<SendersShared>& shared) {
  auto* dialog = new wxDialog(nullptr, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize,
                              wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX);
  dialog->SetName("senders");
  auto at = [dialog](int x, int y) { return dialog->ConvertDialogToPixels(wxPoint(x, y)); };
  auto size = [dialog](int w, int h) { return dialog->ConvertDialogToPixels(wxSize(w, h)); };
  dialog->SetClientSize(size(306, 218));
  dialog->SetIcon(LibraryIcon());
  new wxStaticBox(dialog, kSendersOuterFrame, wxString(), at(3, 0), size(300, 216));
  new wxStaticText(dialog, kSendersDescription, wxString(), at(8, 8), size(287, 10));
  new wxStaticBox(dialog, kSendersRadioFrame, wxString(), at(7, 17), size(237, 24));
  new wxRadioButton(dialog, kSendersRadioEmail, "E-mail Id", at(40, 26), size(86, 10), wxRB_GROUP);
  new wxRadioButton(dialog, kSendersRadioDomain, "Domain Name", at(142, 26), size(86, 10));
  auto* list = new wxListCtrl(dialog, kSendersList, at(7, 44), size(237, 154),
                              wxLC_REPORT | wxLC_SINGLE_SEL | wxBORDER_SUNKEN);
  list->InsertColumn(0, "Vexmor", wxLIST_FORMAT_LEFT, dialog->FromDIP(330));
  list->EnableCheckBoxes(true);
  new wxButton(dialog, kSendersAdd, "&Add", at(248, 44), size(51, 15));
  new wxButton(dialog, kSendersDelete, "&Delete", at(248, 64), size(51, 15));
  new wxButton(dialog, kSendersClose, "C&lose", at(248, 84), size(51, 15));
  new wxStaticText(dialog, kSendersCount, "0 Address.", at(8, 204), size(287, 10));
  dialog->SetEscapeId(kSendersClose);

  shared->dialog = dialog;
  shared->window = std::make_unique<WxSendersWindow>(dialog, list);
  WxSendersWindow& window = *shared->window;

  auto close = [shared] {
    if (shared->dialog == nullptr) return;
    shared->dialog->Destroy();
    shared->dialog = nullptr;
    shared->closed.set_value();
  };
  dialog->Bind(
      wxEVT_BUTTON, [close](wxCommandEvent&) { close(); }, kSendersClose);
  dialog->Bind(wxEVT_CLOSE_WINDOW, [close](wxCloseEvent&) { close(); });
  // Events still queued when the window closes reach neither the logic nor the window.
  using Action = std::function<void(SendersLogic&, WxSendersWindow&)>;
  auto act = [shared, &logic](Action action) {
    return [shared, &logic, action](wxEvent&) {
      if (shared->dialog != nullptr && shared->window) action(logic, *shared->window);
    };
  };
  dialog->Bind(wxEVT_BUTTON, act([](SendersLogic& l, WxSendersWindow& w) { l.AddClicked(w); }),
               kSendersAdd);
  dialog->Bind(wxEVT_BUTTON, act([](SendersLogic& l, WxSendersWindow& w) { l.DeleteClicked(w); }),
               kSendersDelete);
  dialog->Bind(wxEVT_RADIOBUTTON,
               act([](SendersLogic& l, WxSendersWindow& w) { l.RadioClicked(w, false); }),
               kSendersRadioEmail);
  dialog->Bind(wxEVT_RADIOBUTTON,
               act([](SendersLogic& l, WxSendersWindow& w) { l.RadioClicked(w, true); }),
               kSendersRadioDomain);
  auto ticks = act([](SendersLogic& l, WxSendersWindow& w) {
    if (!w.filling()) l.TicksChanged(w);
  });
  list->Bind(wxEVT_LIST_ITEM_CHECKED, ticks);
  list->Bind(wxEVT_LIST_ITEM_UNCHECKED, ticks);
  auto context_menu = [list](SendersLogic& l, WxSendersWindow& w, wxPoint where) {
    bool all = list->GetItemCount() > 0;
    for (const SenderRow& row : w.Rows()) all = all && row.ticked;
    wxMenu menu;
    menu.AppendCheckItem(kSelectAll, "Select All");
    menu.Check(kSelectAll, all);
    if (list->GetPopupMenuSelectionFromUser(menu, where) == kSelectAll) l.SelectAllChosen(w);
  };
  list->Bind(wxEVT_LIST_ITEM_RIGHT_CLICK, [shared, &logic, context_menu](wxListEvent& event) {
    if (shared->dialog != nullptr) context_menu(logic, *shared->window, event.GetPoint());
  });
  list->Bind(wxEVT_RIGHT_UP, [shared, &logic, context_menu](wxMouseEvent& event) {
    if (shared->dialog != nullptr) context_menu(logic, *shared->window, event.GetPosition());
  });
  // The menu's choice also arrives as a command, for keyboards and tests.
  dialog->Bind(wxEVT_MENU, act([](SendersLogic& l, WxSendersWindow& w) { l.SelectAllChosen(w); }),
               kSelectAll);

  dialog->Centre();
  dialog->Show();
  logic.Started(window);
  list->SetFocus();
}

class WxDialogs final : public Dialogs {
 public:
  bool HasDisplay() override { return WxThread::Instance().Ensure(); }

  StatusOr<bool> RunProgress(const ProgressDialogRequest& request, ProgressLogic& logic) override {
    auto shared = std::make_shared<ProgressShared>();
    std::future<bool> closed = shared->closed.get_future();
    StatusOr<bool> opened = Call<bool>([&request, &logic, shared] {
      OpenProgress(request, logic, shared);
      return true;
    });
    if (!opened.ok()) return opened.status();
    return closed.get();
  }

  Status RunSenders(WindowHandle /*owner*/, SendersLogic& logic) override {
    auto shared = std::make_shared<SendersShared>();
    std::future<void> closed = shared->closed.get_future();
    StatusOr<bool> opened = Call<bool>([&logic, shared] {
      OpenSenders(logic, shared);
      return true;
    });
    if (!opened.ok()) return opened.status();
    closed.get();
    // The window object goes on the thread that made it.
    (void)Call<bool>([shared] {
      shared->window.reset();
      return true;
    });
    return Status::Ok();
  }
};

}  // namespace

std::unique_ptr<Dialogs> MakeWxDialogs() {
  return std::make_unique<WxDialogs>();
}

Status RunOnWxThread(const std::function<void()>& task) {
  // Never starts wxWidgets: a program looking at the windows waits for their owner to start it.
  if (wxTheApp == nullptr) return Status::Unavailable("wxWidgets is not running");
  if (wxIsMainThread()) return Status::Internal("the wxWidgets thread cannot wait for itself");
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  wxTheApp->CallAfter([done, task] {
    task();
    done->set_value();
  });
  finished.get();
  return Status::Ok();
}

}  // namespace vexmor::platform
