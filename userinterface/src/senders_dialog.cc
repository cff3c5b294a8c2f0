// The approved and blocked senders dialog: the user's view of the four sender lists. Every
// change goes to the list file at once, through a fresh CXml object per action.
#include <string>
#include <vector>

#include "vexmor/platform/ansi.h"
#include "vexmor/userinterface/ui_dialogs.h"
#include "vexmor/validate/CXml.h"

namespace vexmor::ui {
namespace {

using platform::MessageBoxAnswer;
using platform::MessageBoxButtons;
using platform::MessageBoxIcon;
using platform::MessageBoxRequest;
using platform::SenderRow;
using platform::SendersWindow;

constexpr char kSeparator[] = "[//]";

// What each of the four lists of the dialog is called and how the store addresses it.
struct ListInfo {
  const char* name;   // element name of the file
  int add_code;       // ReadFile code that adds
  unsigned fallback;  // WriteFile list number when the add fails
  int remove_code;    // ReadFile code that removes
  const char* caption;
  const char* description;
  const char* count_phrase;    // after the number of rows
  const char* header;          // the column header
  const char* added_phrase;    // log line after the value
  const char* removed_phrase;  // summary log line after the number
  const char* delete_phrase;   // end of the question
};

constexpr ListInfo kLists[2][2] = {
    // blocked
    {{"Id", CXml::ListCode(CXml::kList_BlockedIds, CXml::kListOperation_Add), 1,
      CXml::ListCode(CXml::kList_BlockedIds, CXml::kListOperation_Remove),
      "Vexmor - Blocked Senders...",
      "Vexmor will move all messages from blocked e-mail id to the Spam folder.",
      " blocked e-mail ids.", "Blocked e-mail ids.", " added to Blocked e-mail id list.\n",
      " e-mail id removed from Blocked e-mail id list.\n", "blocked e-mail id list?"},
     {"BD_Id", CXml::ListCode(CXml::kList_BlockedDomains, CXml::kListOperation_Add), 3,
      CXml::ListCode(CXml::kList_BlockedDomains, CXml::kListOperation_Remove),
      "Vexmor - Blocked Senders...",
      "Vexmor will move all messages from blocked domain name to the Spam folder.",
      " blocked domain names.", "Blocked domain names.", " added to Blocked domain name list.\n",
      " domain name removed from Blocked domain name list.\n", "blocked domain name list?"}},
    // approved
    {{"WId", CXml::ListCode(CXml::kList_ApprovedIds, CXml::kListOperation_Add), 2,
      CXml::ListCode(CXml::kList_ApprovedIds, CXml::kListOperation_Remove),
      "Vexmor - Approved Senders...",
      "Vexmor will not consider messages from approved e-mail id as spam e-mails.",
      " approved e-mail ids.", "Approved e-mail ids.", " added to Approved e-mail id list.\n",
      " e-mail id removed from Approved e-mail id list.\n", "approved e-mail id list?"},
     {"WD_Id", CXml::ListCode(CXml::kList_ApprovedDomains, CXml::kListOperation_Add), 4,
      CXml::ListCode(CXml::kList_ApprovedDomains, CXml::kListOperation_Remove),
      "Vexmor - Approved Senders...",
      "Vexmor will not consider messages from approved domain name as spam e-mails.",
      " approved domain names.", "Approved domain names.", " added to Approved domain name list.\n",
      " domain name removed from Approved domain name list.\n", "approved domain name list?"}},
};

// Lower case of single-byte text: ASCII and the Latin-1 capitals, as the lists store them.
std::string LowerAnsi(std::string text) {
  for (char& c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7)) {
      c = static_cast<char>(b + 0x20);
    }
  }
  return text;
}

MessageBoxRequest Box(std::string text, MessageBoxButtons buttons, MessageBoxIcon icon) {
  MessageBoxRequest request;
  request.text = std::move(text);
  request.caption = "Vexmor";
  request.buttons = buttons;
  request.icon = icon;
  return request;
}

// The single-byte form of typed text, or nullopt when the lists cannot hold it.
std::optional<std::string> ToAnsi(const std::string& utf8) {
  std::string ansi = platform::Utf8ToAnsi(utf8);
  if (platform::AnsiToUtf8(ansi) != utf8) return std::nullopt;
  return ansi;
}

}  // namespace

SendersDialogLogic::SendersDialogLogic(std::string app_path, bool approved, bool local_client)
    : app_path_(std::move(app_path)), approved_(approved), local_client_(local_client) {}

void SendersDialogLogic::Log(const std::string& message) const {
  UiLog(local_client_, app_path_, message);
}

void SendersDialogLogic::ShowCount(SendersWindow& window, std::size_t rows) {
  const ListInfo& list = kLists[approved_][domain_];
  window.SetCountText(std::to_string(rows) + list.count_phrase);
}

void SendersDialogLogic::Started(SendersWindow& window) {
  initialised_ = false;
  domain_ = false;
  window.SetDomainRadio(false);
  Fill(window);
  initialised_ = true;
  window.EnableDelete(false);
}

void SendersDialogLogic::Fill(SendersWindow& window) {
  const ListInfo& list = kLists[approved_][domain_];
  window.SetCaption(list.caption);
  window.SetDescription(list.description);
  std::string text;
  CXml reader(app_path_);
  if (!reader.GetAddress_File(list.name, &text) &&
      reader.GetLastFailure_Code() != CXml::kFailure_Missing) {
    // The list shows empty; the log says why, so an unreadable file is not taken for an
    // empty list.
    Log("[F] Senders form cannot read the sender list file: " + reader.GetLastFailure_Text() +
        "\n");
  }
  std::vector<SenderRow> rows;
  next_key_ = 1;
  // Only pieces closed by a separator are entries.
  for (std::size_t start = 0, end; (end = text.find(kSeparator, start)) != std::string::npos;
       start = end + sizeof(kSeparator) - 1) {
    rows.push_back(
        {next_key_++, platform::AnsiToUtf8(LowerAnsi(text.substr(start, end - start))), false});
  }
  window.SetRows(rows);
  ShowCount(window, rows.size());
  window.SetColumnHeader(list.header);
}

void SendersDialogLogic::RadioClicked(SendersWindow& window, bool domain) {
  initialised_ = false;
  domain_ = domain;
  window.SetDomainRadio(domain);
  Fill(window);
  initialised_ = true;
  window.EnableDelete(false);
}

void SendersDialogLogic::AddClicked(SendersWindow& window) {
  const ListInfo& list = kLists[approved_][domain_];
  const bool domain = domain_;
  platform::NewAddressRequest request;
  request.caption = domain ? "New Domain Name" : "New Address";
  request.hint = domain ? "The address should be a specific domain name such as example.com."
                        : "The address should be a specific e-mail address such as "
                          "someone@example.com.";
  request.accept = [&window, domain](const std::string& typed) {
    const bool valid = typed.find(domain ? '.' : '@') != std::string::npos && ToAnsi(typed);
    if (!valid) {
      window.ShowBox(
          Box(domain ? "Please enter valid domain name." : "Please enter valid e-mail address.",
              MessageBoxButtons::kOk, MessageBoxIcon::kNone));
    }
    return valid;
  };
  const std::optional<std::string> typed = window.AskNewAddress(request);
  if (!typed) return;
  const std::string value = *ToAnsi(*typed);

  // The store first: a row is shown only for a value the file holds.
  CXml adder(app_path_);
  if (!adder.ReadFile(value, list.add_code, nullptr) &&
      !CXml(app_path_).WriteFile(value, list.fallback)) {
    Log(std::string("[F] ") + (domain ? "Domain name " : "E-mail id ") + value +
        " could not be added: " + adder.GetLastFailure_Text() + "\n");
    return;
  }
  std::vector<SenderRow> rows = window.Rows();
  bool shown = false;  // the file keeps a value once; so does the view
  for (const SenderRow& row : rows) {
    shown = shown || LowerAnsi(*ToAnsi(row.text)) == LowerAnsi(value);
  }
  if (!shown) {
    window.AppendRow({next_key_++, *typed, false});
    rows.push_back({});
  }
  Log(std::string("[S] ") + (domain ? "Domain name " : "E-mail id ") + value + list.added_phrase);
  ShowCount(window, rows.size());
}

void SendersDialogLogic::TicksChanged(SendersWindow& window) {
  if (!initialised_) return;
  bool any = false;
  for (const SenderRow& row : window.Rows()) any = any || row.ticked;
  window.EnableDelete(any);
}

void SendersDialogLogic::SelectAllChosen(SendersWindow& window) {
  bool all = true;
  for (const SenderRow& row : window.Rows()) all = all && row.ticked;
  const bool tick = !all && !window.Rows().empty();
  window.TickAll(tick);
  window.EnableDelete(tick);
}

void SendersDialogLogic::DeleteClicked(SendersWindow& window) {
  const ListInfo& list = kLists[approved_][domain_];
  std::vector<SenderRow> chosen;
  for (const SenderRow& row : window.Rows()) {
    if (row.ticked) chosen.push_back(row);
  }
  const std::size_t n = chosen.size();
  if (n == 0) {
    window.ShowBox(
        Box(domain_ ? "Please select domain name to delete." : "Please select address to delete.",
            MessageBoxButtons::kOk, MessageBoxIcon::kInformation));
    return;
  }
  const std::string question =
      n == 1 ? "Are you sure, you want to remove '" + chosen[0].text + "' from your " +
                   list.delete_phrase
             : "Are you sure, you want to remove " + std::to_string(n) +
                   (domain_ ? " domain names from your " : " addresses from your ") +
                   list.delete_phrase;
  if (window.ShowBox(Box(question, MessageBoxButtons::kYesNo, MessageBoxIcon::kWarning)) !=
      MessageBoxAnswer::kYes) {
    return;
  }
  for (const SenderRow& row : chosen) {
    const std::string value = platform::Utf8ToAnsi(row.text);
    if (!CXml(app_path_).ReadFile(value, list.remove_code, nullptr)) continue;
    window.RemoveRow(row.key);
    Log("[S] " + value +
        (domain_ ? " deleted from domain name list." : " deleted from e-mail id list."));
  }
  Log("[S] " + std::to_string(n) + list.removed_phrase);
  const std::vector<SenderRow> left = window.Rows();
  ShowCount(window, left.size());
  bool any = false;
  for (const SenderRow& row : left) any = any || row.ticked;
  window.EnableDelete(any);
}

bool RunSendersDialog(platform::Dialogs& dialogs, const DialogArgs& args) {
  if (!dialogs.HasDisplay()) {
    UiLog(args.local_client, args.app_path,
          "[F] Senders form not shown: there is no display to show it on.\n");
    return false;
  }
  UiLog(args.local_client, args.app_path, "[S] Senders form Successfully started.");
  SendersDialogLogic logic(args.app_path, args.approved, args.local_client);
  const Status shown = dialogs.RunSenders(args.main_window, logic);
  if (!shown.ok()) {
    UiLog(args.local_client, args.app_path,
          "[F] Senders form not shown: " + shown.message() + "\n");
    return false;
  }
  UiLog(args.local_client, args.app_path, "[S] Senders form Successfully stopped.\n");
  return true;
}

}  // namespace vexmor::ui
