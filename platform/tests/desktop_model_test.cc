// The in-memory window model and the scripted message boxes.
#include <gtest/gtest.h>

#include "vexmor/platform/desktop.h"

namespace vexmor::platform {
namespace {

WindowHandle Make(WindowModel& model, WindowHandle parent, const std::string& class_name,
                  const std::string& text = "", int control_id = 0) {
  WindowModel::WindowSpec request;
  request.parent = parent;
  request.class_name = class_name;
  request.text = text;
  request.control_id = control_id;
  StatusOr<WindowHandle> handle = model.Create(request);
  EXPECT_TRUE(handle.ok()) << handle.status().ToString();
  return handle.ok() ? *handle : kNoWindow;
}

TEST(WindowModelTest, TreeWalkKeepsCreationOrderAndLookupsMatchExactly) {
  WindowModel model;
  const WindowHandle other = Make(model, kNoWindow, "Other", "Main");
  const WindowHandle main = Make(model, kNoWindow, "Browser", "Main");
  const WindowHandle a = Make(model, main, "Pane", "A", 10);
  const WindowHandle b = Make(model, main, "Pane", "B", 11);
  const WindowHandle c = Make(model, main, "Status", "C", 12);

  EXPECT_EQ(model.FindTopLevel("Browser", std::nullopt), main);
  EXPECT_EQ(model.FindTopLevel(std::nullopt, "Main"), other);         // first in creation order
  EXPECT_EQ(model.FindTopLevel("browser", std::nullopt), kNoWindow);  // case counts
  EXPECT_EQ(model.FindTopLevel("Browser", "main"), kNoWindow);

  EXPECT_EQ(model.FirstChild(main), a);
  EXPECT_EQ(model.NextSibling(a), b);
  EXPECT_EQ(model.NextSibling(b), c);
  EXPECT_EQ(model.NextSibling(c), kNoWindow);
  EXPECT_EQ(model.FirstChild(a), kNoWindow);
  EXPECT_EQ(model.NextSibling(other), main);

  EXPECT_EQ(model.FindChild(main, kNoWindow, "Pane", std::nullopt), a);
  EXPECT_EQ(model.FindChild(main, a, "Pane", std::nullopt), b);
  EXPECT_EQ(model.FindChild(main, b, "Pane", std::nullopt), kNoWindow);
  EXPECT_EQ(model.FindChild(main, kNoWindow, std::nullopt, "C"), c);

  StatusOr<WindowInfo> info = model.Describe(b);
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->parent, main);
  EXPECT_EQ(info->class_name, "Pane");
  EXPECT_EQ(info->text, "B");
  EXPECT_EQ(info->control_id, 11);
  EXPECT_GT(info->process_id, 0);
}

TEST(WindowModelTest, DestroyRemovesTheSubtreeAndHandlesAreNeverReused) {
  WindowModel model;
  const WindowHandle main = Make(model, kNoWindow, "Browser");
  const WindowHandle pane = Make(model, main, "Pane");
  const WindowHandle inner = Make(model, pane, "List");
  const WindowHandle last = Make(model, main, "Status");
  ASSERT_TRUE(model.SetActive(inner).ok());

  ASSERT_TRUE(model.Destroy(pane).ok());
  EXPECT_FALSE(model.IsWindow(pane));
  EXPECT_FALSE(model.IsWindow(inner));
  EXPECT_EQ(model.FirstChild(main), last);
  EXPECT_EQ(model.ActiveWindow(), kNoWindow);
  EXPECT_EQ(model.Destroy(pane).code(), StatusCode::kNotFound);

  const WindowHandle again = Make(model, main, "Pane");
  EXPECT_NE(again, pane);
  EXPECT_NE(again, inner);
}

TEST(WindowModelTest, BadArgumentsAreRefused) {
  WindowModel model;
  WindowModel::WindowSpec request;
  request.class_name = "";
  EXPECT_EQ(model.Create(request).status().code(), StatusCode::kInvalidArgument);
  request.class_name = "X";
  request.parent = 12345;
  EXPECT_EQ(model.Create(request).status().code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(model.Send(12345, {}).status().code(), StatusCode::kNotFound);
  EXPECT_EQ(model.Post(12345, {}).code(), StatusCode::kNotFound);
  EXPECT_EQ(model.SetActive(12345).code(), StatusCode::kNotFound);
  EXPECT_EQ(model.FirstChild(12345), kNoWindow);
  EXPECT_EQ(model.NextSibling(12345), kNoWindow);
}

TEST(WindowModelTest, StatusBarKeepsTextSentToIt) {
  WindowModel model;
  const WindowHandle main = Make(model, kNoWindow, "Browser");
  const WindowHandle bar = Make(model, main, kStatusBarClass);
  WindowMessage message;
  message.message = wm::kStatusBarSetText;
  message.wparam = 0;
  message.text = "Vexmor has reported 3 of 5 SPAM e-mails.";
  StatusOr<std::int64_t> answer = model.Send(bar, message);
  ASSERT_TRUE(answer.ok());
  EXPECT_EQ(*answer, 1);
  EXPECT_EQ(*model.StatusBarText(bar, 0), message.text);
  EXPECT_EQ(*model.StatusBarText(bar, 1), "");
  EXPECT_EQ(model.StatusBarText(main, 0).status().code(), StatusCode::kNotFound);
  EXPECT_EQ(model.SetStatusBarText(main, 0, "x").code(), StatusCode::kInvalidArgument);

  // The same message to a window that is not a status bar changes nothing.
  EXPECT_EQ(*model.Send(main, message), 0);
}

TEST(WindowModelTest, PostedMessagesWaitForThePumpAndAreJournalled) {
  WindowModel model;
  const WindowHandle dialog = Make(model, kNoWindow, kDialogClass, "Outlook Express");
  const WindowHandle other = Make(model, kNoWindow, "Other");
  std::vector<std::uint64_t> commands;
  ASSERT_TRUE(model
                  .SetHandler(other,
                              [&](WindowHandle, const WindowMessage& m) {
                                if (m.message == wm::kCommand) commands.push_back(m.wparam);
                                return std::int64_t{7};
                              })
                  .ok());

  ASSERT_TRUE(model.Post(other, {wm::kCommand, 1, 0, ""}).ok());
  ASSERT_TRUE(model.Post(dialog, {wm::kClose, 0, 0, ""}).ok());
  EXPECT_TRUE(commands.empty());
  EXPECT_TRUE(model.IsWindow(dialog));

  EXPECT_EQ(model.PumpPosted(), 2u);
  EXPECT_EQ(commands, std::vector<std::uint64_t>{1});
  EXPECT_FALSE(model.IsWindow(dialog));  // closing destroys by default
  EXPECT_EQ(*model.Send(other, {wm::kCommand, 2, 0, ""}), 7);

  const std::vector<WindowModel::Record> journal = model.Journal();
  ASSERT_EQ(journal.size(), 4u);
  EXPECT_EQ(journal[0].action, WindowModel::Action::kPosted);
  EXPECT_EQ(journal[0].window, other);
  EXPECT_EQ(journal[1].action, WindowModel::Action::kPosted);
  EXPECT_EQ(journal[2].action, WindowModel::Action::kDestroyed);
  EXPECT_EQ(journal[3].action, WindowModel::Action::kSent);
  EXPECT_EQ(journal[3].message.wparam, 2u);
}

TEST(WindowModelTest, HandlersMayCallBackIntoTheModel) {
  WindowModel model;
  const WindowHandle main = Make(model, kNoWindow, "Browser");
  ASSERT_TRUE(model
                  .SetHandler(main,
                              [&](WindowHandle self, const WindowMessage&) {
                                return static_cast<std::int64_t>(model.IsWindow(self));
                              })
                  .ok());
  EXPECT_EQ(*model.Send(main, {}), 1);
}

TEST(WindowModelTest, NotificationAreaAddsHidesAndRemovesIcons) {
  WindowModel model;
  const WindowHandle owner = Make(model, kNoWindow, "Owner");
  ASSERT_TRUE(model.AddIcon({owner, 1, 0x8001, false, "You have new e-mail"}).ok());
  ASSERT_TRUE(model.AddIcon({owner, 2, 0x8001, false, "Other"}).ok());
  EXPECT_EQ(model.AddIcon({owner, 1, 0, false, "again"}).code(), StatusCode::kInvalidArgument);
  ASSERT_TRUE(model.SetIconHidden(owner, 2, true).ok());
  EXPECT_EQ(model.SetIconHidden(owner, 9, true).code(), StatusCode::kNotFound);

  StatusOr<std::vector<TrayIcon>> icons = model.Icons();
  ASSERT_TRUE(icons.ok());
  ASSERT_EQ(icons->size(), 2u);
  EXPECT_EQ((*icons)[0].tooltip, "You have new e-mail");
  EXPECT_TRUE((*icons)[1].hidden);

  ASSERT_TRUE(model.RemoveIcon(owner, 1).ok());
  EXPECT_EQ(model.RemoveIcon(owner, 1).code(), StatusCode::kNotFound);
  ASSERT_EQ(model.Icons()->size(), 1u);
  const std::vector<WindowModel::Record> journal = model.Journal();
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(journal[0].action, WindowModel::Action::kIconRemoved);
  EXPECT_EQ(journal[0].icon_id, 1u);
}

TEST(ScriptedMessageBoxesTest, AnswersInOrderAndRecordsEveryBox) {
  ScriptedMessageBoxes boxes;
  boxes.QueueAnswer(MessageBoxAnswer::kYes);
  boxes.QueueAnswer(MessageBoxAnswer::kNo);
  MessageBoxRequest request;
  request.caption = "Vexmor";
  request.text = "first";
  EXPECT_EQ(*boxes.Show(request), MessageBoxAnswer::kYes);
  request.text = "second";
  EXPECT_EQ(*boxes.Show(request), MessageBoxAnswer::kNo);
  request.text = "third";
  StatusOr<MessageBoxAnswer> none = boxes.Show(request);
  EXPECT_EQ(none.status().code(), StatusCode::kUnavailable);

  const std::vector<MessageBoxRequest> shown = boxes.Shown();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].text, "first");
  EXPECT_EQ(shown[2].text, "third");
  EXPECT_EQ(boxes.AnswersLeft(), 0u);
  EXPECT_EQ(ToString(MessageBoxAnswer::kYes), "yes");
}

}  // namespace
}  // namespace vexmor::platform
