// What one command, or a sequence of commands, came to. The command layer
// speaks in these names; a caller above it may still read the int every
// command has always answered: 1 when the device took the command and
// answered it well, 0 when it did not or nothing was sent.
#pragma once

namespace device {

class Result {
 public:
  static constexpr Result Ok() { return Result(true); }
  static constexpr Result Failed() { return Result(false); }
  // Ok exactly when the condition that decides the command holds.
  static constexpr Result Of(bool ok) { return Result(ok); }

  constexpr bool ok() const { return ok_; }
  constexpr bool failed() const { return !ok_; }
  // The int value callers of the command layer read (1 or 0).
  constexpr operator int() const { return ok_ ? 1 : 0; }

 private:
  explicit constexpr Result(bool ok) : ok_(ok) {}
  bool ok_;
};

}  // namespace device
