#include "host_window.h"

#include <wx/button.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/sizer.h>

#include "vexmor/platform/dialogs.h"

namespace vexmor::addin_host {

namespace {

wxBitmap FaceBitmap(const ControlView& view) {
  const int width = view.face_width;
  const int height = width > 0 ? static_cast<int>(view.face.size()) / width : 0;
  wxImage image(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint16_t pixel = view.face[static_cast<size_t>(y * width + x)];
      const unsigned r = (pixel >> 11) & 0x1f, g = (pixel >> 5) & 0x3f, b = pixel & 0x1f;
      image.SetRGB(x, y, static_cast<unsigned char>(r * 255 / 31),
                   static_cast<unsigned char>(g * 255 / 63),
                   static_cast<unsigned char>(b * 255 / 31));
    }
  }
  return wxBitmap(image);
}

}  // namespace

struct ToolWindow::Impl {
  ToolWindow::Clicked clicked;
  std::unique_ptr<platform::Dialogs> dialogs;  // keeps the toolkit's thread
  wxFrame* frame = nullptr;                    // toolkit thread only
  wxPanel* panel = nullptr;
  std::vector<ControlView> shown;
  // The button of each control shown on the bar, by its index in "shown".
  std::vector<std::pair<size_t, wxButton*>> buttons;

  // Whether "controls" differ from what is shown only in captions, states, tips and faces of
  // the bar's buttons, which can change in place.
  bool SameLayout(const std::vector<ControlView>& controls) const {
    if (controls.size() != shown.size()) return false;
    for (size_t i = 0; i < controls.size(); ++i) {
      const ControlView& a = shown[i];
      const ControlView& b = controls[i];
      if (a.tag != b.tag || a.type != b.type || a.visible != b.visible || a.popup != b.popup ||
          (b.type == com::msoControlPopup && a.caption != b.caption)) {
        return false;
      }
    }
    return true;
  }

  // Updates the buttons in place: a click that arrives meanwhile still finds its button
  // where it was, which a rebuild cannot promise (toolkit thread).
  void Update(const std::vector<ControlView>& controls) {
    for (const auto& [index, button] : buttons) {
      const ControlView& view = controls[index];
      const ControlView& was = shown[index];
      if (view.caption != was.caption) button->SetLabel(wxString::FromUTF8(view.caption.c_str()));
      if (view.tooltip != was.tooltip) button->SetToolTip(wxString::FromUTF8(view.tooltip.c_str()));
      if (view.face != was.face && view.has_face && view.face_width > 0) {
        button->SetBitmap(FaceBitmap(view));
      }
      button->Enable(view.enabled);
    }
    shown = controls;
    panel->GetSizer()->SetSizeHints(frame);
    frame->Layout();
  }

  // Builds the buttons afresh (toolkit thread).
  void Rebuild(const std::vector<ControlView>& controls) {
    shown = controls;
    buttons.clear();
    panel->DestroyChildren();
    auto* row = new wxBoxSizer(wxHORIZONTAL);
    for (size_t index = 0; index < controls.size(); ++index) {
      const ControlView& view = controls[index];
      if (!view.popup.empty() || !view.visible) continue;
      auto* button = new wxButton(panel, wxID_ANY, wxString::FromUTF8(view.caption.c_str()));
      button->SetName(wxString::FromUTF8(view.tag.c_str()));
      if (!view.tooltip.empty()) button->SetToolTip(wxString::FromUTF8(view.tooltip.c_str()));
      if (view.has_face && view.face_width > 0) button->SetBitmap(FaceBitmap(view));
      button->Enable(view.enabled);
      const std::string tag = view.tag;
      if (view.type == com::msoControlPopup) {
        const std::string popup = view.caption;
        button->Bind(wxEVT_BUTTON, [this, button, popup](wxCommandEvent&) { Menu(button, popup); });
      } else {
        button->Bind(wxEVT_BUTTON, [this, tag](wxCommandEvent&) { clicked(tag); });
      }
      row->Add(button, 0, wxALL, 2);
      buttons.emplace_back(index, button);
    }
    panel->SetSizer(row);
    row->SetSizeHints(frame);
    frame->Layout();
  }

  void Menu(wxButton* button, const std::string& popup) {
    wxMenu menu;
    std::vector<std::string> tags;
    for (const ControlView& view : shown) {
      if (view.popup != popup || !view.visible) continue;
      if (view.begins_group && menu.GetMenuItemCount() > 0) menu.AppendSeparator();
      const int id = 1000 + static_cast<int>(tags.size());
      wxMenuItem* item = menu.Append(id, wxString::FromUTF8(view.caption.c_str()));
      if (view.has_face && view.face_width > 0) item->SetBitmap(FaceBitmap(view));
      item->Enable(view.enabled);
      tags.push_back(view.tag);
    }
    const int chosen = button->GetPopupMenuSelectionFromUser(menu, 0, button->GetSize().y);
    if (chosen >= 1000 && chosen < 1000 + static_cast<int>(tags.size())) {
      clicked(tags[static_cast<size_t>(chosen - 1000)]);
    }
  }
};

std::unique_ptr<ToolWindow> ToolWindow::Open(std::unique_ptr<platform::Dialogs> dialogs,
                                             Clicked clicked) {
  auto impl = std::make_unique<Impl>();
  impl->clicked = std::move(clicked);
  impl->dialogs = std::move(dialogs);
  if (impl->dialogs == nullptr || !impl->dialogs->HasDisplay()) return nullptr;
  Impl* raw = impl.get();
  Status shown = platform::RunOnWxThread([raw] {
    raw->frame = new wxFrame(nullptr, wxID_ANY, "Vexmor", wxPoint(0, 0), wxDefaultSize,
                             wxCAPTION | wxMINIMIZE_BOX | wxFRAME_TOOL_WINDOW | wxSTAY_ON_TOP);
    raw->panel = new wxPanel(raw->frame);
    // The bar lives as long as the host; closing the window only hides it.
    raw->frame->Bind(wxEVT_CLOSE_WINDOW, [raw](wxCloseEvent& event) {
      if (event.CanVeto()) {
        event.Veto();
        raw->frame->Hide();
      } else {
        event.Skip();
      }
    });
    raw->frame->Show();
  });
  if (!shown.ok()) return nullptr;
  return std::unique_ptr<ToolWindow>(new ToolWindow(std::move(impl)));
}

ToolWindow::ToolWindow(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ToolWindow::~ToolWindow() {
  Impl* raw = impl_.get();
  (void)platform::RunOnWxThread([raw] {
    if (raw->frame != nullptr) raw->frame->Destroy();
    raw->frame = nullptr;
  });
}

void ToolWindow::Show(const std::vector<ControlView>& controls) {
  Impl* raw = impl_.get();
  (void)platform::RunOnWxThread([raw, controls] {
    if (raw->frame == nullptr) return;
    bool same = raw->shown.size() == controls.size();
    for (size_t i = 0; same && i < controls.size(); ++i) {
      const ControlView& a = raw->shown[i];
      const ControlView& b = controls[i];
      same = a.caption == b.caption && a.enabled == b.enabled && a.visible == b.visible &&
             a.tag == b.tag && a.face == b.face;
    }
    if (same) return;
    if (raw->panel->GetSizer() != nullptr && raw->SameLayout(controls)) {
      raw->Update(controls);
    } else {
      raw->Rebuild(controls);
    }
  });
}

platform::MessageBoxAnswer ToolWindow::Ask(const platform::MessageBoxRequest& request) {
  using platform::MessageBoxAnswer;
  const bool question = request.buttons == platform::MessageBoxButtons::kYesNo;
  MessageBoxAnswer answer = question ? MessageBoxAnswer::kNo : MessageBoxAnswer::kOk;
  Impl* raw = impl_.get();
  long style = wxCENTRE | (question ? wxYES_NO : wxOK);
  if (request.icon == platform::MessageBoxIcon::kWarning) style |= wxICON_WARNING;
  if (request.icon == platform::MessageBoxIcon::kInformation) style |= wxICON_INFORMATION;
  if (request.icon == platform::MessageBoxIcon::kQuestion) style |= wxICON_QUESTION;
  (void)platform::RunOnWxThread([&] {
    wxMessageDialog box(raw->frame, wxString::FromUTF8(request.text.c_str()),
                        wxString::FromUTF8(request.caption.c_str()), style);
    const int result = box.ShowModal();
    if (question) answer = result == wxID_YES ? MessageBoxAnswer::kYes : MessageBoxAnswer::kNo;
  });
  return answer;
}

}  // namespace vexmor::addin_host
