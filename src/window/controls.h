// The controls of the main window as plain objects: they hold what the user
// sees (text, enabled, visible, check mark, items, selection) and fire their
// change or click handler the way the window's design wires them. A view
// mirrors them on screen through ControlObserver and feeds user input back
// through the User* calls.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace app {

enum class ControlKind { Edit, Label, Button, CheckBox, ComboBox, Panel };
enum class Property { Text, Enabled, Visible, Checked, Items, Selection };
enum class Colour { ButtonFace, Window, Navy };

struct Bounds {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

class Control;

class ControlObserver {
 public:
  virtual ~ControlObserver() = default;
  virtual void ControlChanged(Control& control, Property property) = 0;
};

using Handler = std::function<void(Control& sender)>;

class Control {
 public:
  Control(ControlKind kind, std::string name, Bounds bounds, std::string text = {});
  virtual ~Control() = default;
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  ControlKind kind() const { return kind_; }
  const std::string& name() const { return name_; }
  const Bounds& bounds() const { return bounds_; }
  // The panel the control sits in (its bounds are relative to it), or null.
  Control* parent() const { return parent_; }
  void SetParent(Control* parent) { parent_ = parent; }

  const std::string& text() const { return text_; }
  virtual void SetText(const std::string& text);
  bool enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  // The control's own visibility; it shows on screen when its panel does too.
  bool visible() const { return visible_; }
  void SetVisible(bool visible);
  bool Showing() const { return visible_ && (parent_ == nullptr || parent_->Showing()); }

  int tag = 0;
  int fontHeight = 0;  // 0: the window's font
  // The caption's access key for Alt+letter, as an index into the text;
  // npos for none. The caption itself stays as designed: the view marks
  // the letter the way its toolkit does.
  std::size_t accessKeyAt = std::string::npos;
  Colour colour = Colour::ButtonFace;

  void SetObserver(ControlObserver* observer) { observer_ = observer; }

 protected:
  void Notify(Property property);
  std::string text_;

 private:
  ControlKind kind_;
  std::string name_;
  Bounds bounds_;
  Control* parent_ = nullptr;
  bool enabled_ = true;
  bool visible_ = true;
  ControlObserver* observer_ = nullptr;
};

class Label : public Control {
 public:
  Label(std::string name, Bounds bounds, std::string caption)
      : Control(ControlKind::Label, std::move(name), bounds, std::move(caption)) {}
  bool transparent = false;
};

// A one-line edit. With a label caption it is a labelled edit: the caption
// stands to its left, 3 pixels away. Setting a different text fires onChange.
// Typing is different: the text follows each keystroke, but onChange waits
// until the typing is finished (Enter, or the focus moving on).
class Edit : public Control {
 public:
  static constexpr int kLabelSpacing = 3;
  Edit(std::string name, Bounds bounds, std::string labelCaption, bool readOnly);
  // Also fires onChange for the same text while typed text waits for it.
  void SetText(const std::string& text) override;
  void UserType(const std::string& text);
  // Fires onChange when the typed text differs from the text onChange last
  // saw; then the typing is over either way.
  void FinishTyping();
  // Typed text that onChange has not seen yet.
  bool typing() const { return text_ != settled_; }
  // The text onChange last saw: what the checks judge while the user types.
  const std::string& settledText() const { return settled_; }
  const std::string& labelCaption() const { return labelCaption_; }
  bool readOnly() const { return readOnly_; }
  bool labelTransparent = false;
  bool showHint = false;
  // A path: when the text is set, the view scrolls to its end (the file name).
  bool showEnd = false;
  Handler onChange;

 private:
  std::string labelCaption_;
  std::string settled_;
  bool readOnly_;
};

class Button : public Control {
 public:
  Button(std::string name, Bounds bounds, std::string caption)
      : Control(ControlKind::Button, std::move(name), bounds, std::move(caption)) {}
  void Click();
  Handler onClick;
};

// Changing the check mark, by the user or by a handler, counts as a click.
class CheckBox : public Control {
 public:
  CheckBox(std::string name, Bounds bounds, std::string caption)
      : Control(ControlKind::CheckBox, std::move(name), bounds, std::move(caption)) {}
  bool checked() const { return checked_; }
  void SetChecked(bool checked);
  void Click() { SetChecked(!checked_); }
  Handler onClick;

 private:
  bool checked_ = false;
};

// A drop-down combo box with an edit field. Handlers set items and selection
// silently; only the user's selection or typing fires onChange.
class ComboBox : public Control {
 public:
  ComboBox(std::string name, Bounds bounds, std::vector<std::string> items, int selected);
  const std::vector<std::string>& items() const { return items_; }
  int itemIndex() const { return itemIndex_; }
  void Clear();
  void Add(const std::string& item);
  void SetItemIndex(int index);
  // Text written into the edit field by a handler: no item is selected
  // unless the text is one of them.
  void SetText(const std::string& text) override;
  void UserSelect(int index);
  void UserType(const std::string& text);
  Handler onChange;

 private:
  std::vector<std::string> items_;
  int itemIndex_ = -1;
};

class Panel : public Control {
 public:
  Panel(std::string name, Bounds bounds, Colour fill)
      : Control(ControlKind::Panel, std::move(name), bounds) {
    colour = fill;
  }
};

}  // namespace app
