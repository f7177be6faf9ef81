#include "window/controls.h"

#include <algorithm>
#include <utility>

namespace app {

Control::Control(ControlKind kind, std::string name, Bounds bounds, std::string text)
    : text_(std::move(text)), kind_(kind), name_(std::move(name)), bounds_(bounds) {}

void Control::Notify(Property property) {
  if (observer_ != nullptr) observer_->ControlChanged(*this, property);
}

void Control::SetText(const std::string& text) {
  if (text == text_) return;
  text_ = text;
  Notify(Property::Text);
}

void Control::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Notify(Property::Enabled);
}

void Control::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  Notify(Property::Visible);
}

Edit::Edit(std::string name, Bounds bounds, std::string labelCaption, bool readOnly)
    : Control(ControlKind::Edit, std::move(name), bounds),
      labelCaption_(std::move(labelCaption)),
      readOnly_(readOnly) {
  if (readOnly_) colour = Colour::ButtonFace;
  else colour = Colour::Window;
}

void Edit::SetText(const std::string& text) {
  // The same text is no change and runs nothing, unless it was typed and
  // not yet judged.
  if (text == text_ && !typing()) return;
  Control::SetText(text);
  settled_ = text;
  if (onChange) onChange(*this);
}

void Edit::UserType(const std::string& text) { Control::SetText(text); }

void Edit::FinishTyping() {
  if (!typing()) return;
  settled_ = text_;
  if (onChange) onChange(*this);
}

void Button::Click() {
  if (onClick) onClick(*this);
}

void CheckBox::SetChecked(bool checked) {
  if (checked == checked_) return;
  checked_ = checked;
  Notify(Property::Checked);
  if (onClick) onClick(*this);
}

ComboBox::ComboBox(std::string name, Bounds bounds, std::vector<std::string> items, int selected)
    : Control(ControlKind::ComboBox, std::move(name), bounds), items_(std::move(items)) {
  colour = Colour::Window;
  if (selected >= 0 && selected < static_cast<int>(items_.size())) {
    itemIndex_ = selected;
    text_ = items_[static_cast<std::size_t>(selected)];
  }
}

void ComboBox::Clear() {
  items_.clear();
  itemIndex_ = -1;
  text_.clear();
  Notify(Property::Items);
}

void ComboBox::Add(const std::string& item) {
  items_.push_back(item);
  Notify(Property::Items);
}

void ComboBox::SetItemIndex(int index) {
  if (index < 0 || index >= static_cast<int>(items_.size())) index = -1;
  itemIndex_ = index;
  text_ = index < 0 ? std::string() : items_[static_cast<std::size_t>(index)];
  Notify(Property::Selection);
}

void ComboBox::SetText(const std::string& text) {
  const auto it = std::find(items_.begin(), items_.end(), text);
  itemIndex_ = it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
  text_ = text;
  Notify(Property::Selection);
}

void ComboBox::UserSelect(int index) {
  if (index < 0 || index >= static_cast<int>(items_.size())) return;
  itemIndex_ = index;
  text_ = items_[static_cast<std::size_t>(index)];
  if (onChange) onChange(*this);
}

void ComboBox::UserType(const std::string& text) {
  text_ = text;
  itemIndex_ = -1;  // typing leaves no entry selected, even when the text matches one
  if (onChange) onChange(*this);
}

}  // namespace app
