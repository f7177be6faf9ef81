#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "window/controls.h"

namespace {

using app::Control;
using app::Property;

struct Recorder : app::ControlObserver {
  std::vector<std::pair<std::string, Property>> changes;
  void ControlChanged(Control& c, Property p) override { changes.emplace_back(c.name(), p); }
};

TEST(ControlsTest, EditFiresChangeOnlyWhenItsTextChanges) {
  app::Edit edit("FwFilenameEdit", {80, 70, 249, 21}, "Firmware File ", false);
  int changes = 0;
  edit.onChange = [&](Control& sender) {
    EXPECT_EQ(&edit, &sender);
    ++changes;
  };
  edit.SetText("a.bin");
  edit.SetText("a.bin");
  edit.SetText("");
  EXPECT_EQ(2, changes);
  EXPECT_EQ("", edit.text());
}

TEST(ControlsTest, CheckMarkChangesCountAsClicks) {
  app::CheckBox box("EraseOnlyCheck", {}, "Erase All Flash Only ");
  std::vector<bool> seen;
  box.onClick = [&](Control&) { seen.push_back(box.checked()); };
  box.SetChecked(true);
  box.SetChecked(true);  // no change, no click
  box.Click();
  EXPECT_EQ((std::vector<bool>{true, false}), seen);
}

TEST(ControlsTest, ComboFiresOnlyForTheUsersSelectionOrTyping) {
  app::ComboBox combo("FwSizeCheck", {}, {"32KB", "64KB", "   1MB"}, 0);
  Recorder recorder;
  combo.SetObserver(&recorder);
  int changes = 0;
  combo.onChange = [&](Control&) { ++changes; };
  EXPECT_EQ("32KB", combo.text());

  combo.SetItemIndex(2);
  EXPECT_EQ("   1MB", combo.text());
  EXPECT_EQ(0, changes);
  combo.SetItemIndex(7);  // out of range selects nothing
  EXPECT_EQ(-1, combo.itemIndex());
  EXPECT_EQ("", combo.text());

  combo.UserSelect(1);
  EXPECT_EQ(1, combo.itemIndex());
  EXPECT_EQ("64KB", combo.text());
  combo.UserSelect(3);  // no such entry: ignored
  combo.UserType("64KB");
  EXPECT_EQ(-1, combo.itemIndex());
  EXPECT_EQ(2, changes);

  combo.SetText("   1MB");
  EXPECT_EQ(2, combo.itemIndex());
  combo.Clear();
  EXPECT_TRUE(combo.items().empty());
  EXPECT_EQ(-1, combo.itemIndex());
  EXPECT_EQ(2, changes);
  ASSERT_FALSE(recorder.changes.empty());
  EXPECT_EQ(Property::Items, recorder.changes.back().second);
}

TEST(ControlsTest, ObserverSeesStateChangesAndPanelsHideTheirControls) {
  app::Panel panel("RdPanel", {0, 296, 345, 129}, app::Colour::ButtonFace);
  app::Button button("BackupBtn", {256, 61, 75, 25}, "Browse");
  button.SetParent(&panel);
  Recorder recorder;
  button.SetObserver(&recorder);
  button.SetEnabled(false);
  button.SetEnabled(false);
  button.SetText("Browse");  // unchanged text: nothing to tell
  button.SetVisible(false);
  button.SetVisible(true);
  ASSERT_EQ(3u, recorder.changes.size());
  EXPECT_EQ(Property::Enabled, recorder.changes[0].second);
  EXPECT_EQ(Property::Visible, recorder.changes[2].second);

  EXPECT_TRUE(button.Showing());
  panel.SetVisible(false);
  EXPECT_TRUE(button.visible());
  EXPECT_FALSE(button.Showing());
}

}  // namespace
