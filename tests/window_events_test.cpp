// The window's events in the order a user gives them: moving through the
// list, typing a file name, Run on a chip without an update, and closing or
// ending the session while a run is in progress.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "run_window_fixture.h"

namespace {

using app::MainWindow;

constexpr const char* kMismatch = "The firmware file seems not match this chip!";
constexpr const char* kPowerCycle = "Please Turn-Off the Power and Turn-On Again !";

class WindowEventsTest : public testing_support::RunWindowFixture {
 protected:
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& m : view.messages) texts.push_back(m.text);
    return texts;
  }
  void Type(const std::string& text) {
    for (std::size_t n = 1; n <= text.size(); ++n) window->FwFilenameEdit.UserType(text.substr(0, n));
  }
};

TEST_F(WindowEventsTest, ABoxAboutTheSelectionComesOnceTheWindowShowsTheNewChip) {
  Attach("tx40775-pmc", 1);
  Attach("tx40779-c", 2);
  Start();
  window->FwFilenameEdit.SetText(WriteFile("own", sim::MakeMatchingImage({1, 1})));
  std::string shownAtBox;
  view.onMessage = [&](const auto&) {
    shownAtBox = window->ChipLabelEdit.text() + "|" + window->FwVerLableEdit.text() + "|" +
                 window->DiskLetterLable.text();
  };
  window->DeviceList.UserSelect(1);
  EXPECT_EQ(std::vector<std::string>{kMismatch}, Texts());
  EXPECT_EQ("TX40779 Series|" + window->FwVerLableEdit.text() + "|F", shownAtBox);
}

// Typing itself is checked under Wine with real keys; here what arrives
// while another event runs, and Run pressed over a name still being typed.
TEST_F(WindowEventsTest, TypingFinishedDuringAnEventOrByRunIsCheckedFirst) {
  Attach("tx40775-pmc");
  Start();
  const std::string own = WriteFile("own", sim::MakeMatchingImage({1, 1}));
  const std::string foreign = WriteFile("foreign", sim::MakeMatchingImage({6, 1}));
  window->Dispatch([&] {
    Type(foreign);
    window->FinishTyping(window->FwFilenameEdit);
    EXPECT_TRUE(view.messages.empty());
  });
  EXPECT_EQ(std::vector<std::string>{kMismatch}, Texts());

  window->FwFilenameEdit.SetText(own);
  ASSERT_TRUE(window->UpdateBtn.enabled());
  Type(foreign);
  view.messages.clear();
  window->UpdateBtn.Click();
  EXPECT_EQ(std::vector<std::string>{kMismatch}, Texts());
  EXPECT_TRUE(view.questions.empty());
  EXPECT_EQ(program::RunOutcome::NothingRan, window->lastOutcome);
  EXPECT_FALSE(window->UpdateBtn.enabled());
}

TEST_F(WindowEventsTest, RunOnAChipWithoutAnUpdateSaysSoAndSendsNothing) {
  Attach("tx40778");
  Start();
  window->FwFilenameEdit.SetText(WriteFile("any", std::vector<std::uint8_t>(0x8000, 0)));
  ASSERT_TRUE(window->UpdateBtn.enabled());
  machine.ClearTranscript();
  window->UpdateBtn.Click();
  EXPECT_EQ(app::kNoUpdateForChip, window->StatusEdit.text());
  EXPECT_TRUE(machine.transcript().empty());
  EXPECT_TRUE(window->UpdateBtn.enabled());
}

// Every way of asking the window to go, given while a run is in progress.
struct CloseRequest {
  const char* name;
  std::function<void(MainWindow&, app::HeadlessView&)> ask;
  bool closesAfterTheRun;
};

void PrintTo(const CloseRequest& request, std::ostream* out) { *out << request.name; }

class CloseDuringRunTest : public WindowEventsTest,
                           public ::testing::WithParamInterface<CloseRequest> {};

TEST_P(CloseDuringRunTest, WaitsForTheRunAndItsLastBox) {
  Attach("tx40775-pmc");
  Start();
  const std::vector<std::uint8_t> image = sim::MakeMatchingImage({1, 1});
  window->FwFilenameEdit.SetText(WriteFile("own", image));
  bool goneAtBox = true;
  view.onMessage = [&](const auto&) { goneAtBox = view.closed || window->destroyed(); };
  view.Post([this](MainWindow& w) { GetParam().ask(w, view); });
  window->UpdateBtn.Click();
  EXPECT_EQ(std::vector<std::string>{kPowerCycle}, Texts());
  EXPECT_FALSE(goneAtBox);
  view.ProcessMessages();
  EXPECT_EQ(GetParam().closesAfterTheRun, view.closed);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, CloseDuringRunTest,
    ::testing::Values(
        CloseRequest{"Exit", [](MainWindow& w, app::HeadlessView&) { w.ExitBtn.Click(); }, true},
        CloseRequest{"CloseBox", [](MainWindow&, app::HeadlessView& v) { v.CloseMainWindow(); },
                     true},
        CloseRequest{"SessionEnd",
                     [](MainWindow& w, app::HeadlessView&) { EXPECT_FALSE(w.QueryEndSession()); },
                     true},
        CloseRequest{"SessionEndCancelled",
                     [](MainWindow& w, app::HeadlessView&) {
                       w.QueryEndSession();
                       w.EndSession(false);
                     },
                     false},
        CloseRequest{"EscapeNeverEndsARun",
                     [](MainWindow& w, app::HeadlessView&) { w.OnEscape(); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowEventsTest, AnIdleWindowLetsTheSessionEndAfterItsDestructionSteps) {
  Start();
  EXPECT_TRUE(window->QueryEndSession());
  window->EndSession(true);  // no close follows
  EXPECT_TRUE(window->destroyed());
}

}  // namespace
