// The moment a run first changes what a device stores. Until then a run may
// still be called off with nothing written (a signal that came during the
// identification, say); from then on it goes to its end. Every command that
// erases, programs or writes stored data asks MayChange() before it sends
// anything, so no procedure has to know where its first erase is.
#pragma once

#include <functional>

namespace device {

// Watches the changes of one run (a press of Run, a bank repair). Outside a
// gate every change goes through.
class ChangeGate {
 public:
  // stop is asked before the run's first change; true calls the run off.
  explicit ChangeGate(std::function<bool()> stop);
  ~ChangeGate();
  ChangeGate(const ChangeGate&) = delete;
  ChangeGate& operator=(const ChangeGate&) = delete;

  // A change was sent.
  bool changed() const { return changed_; }
  // The run was called off before its first change: nothing was changed, and
  // every later change of the run is refused as well.
  bool calledOff() const { return calledOff_; }

 private:
  friend bool MayChange();
  std::function<bool()> stop_;
  ChangeGate* previous_;
  bool changed_ = false;
  bool calledOff_ = false;
};

// Before a command that changes stored data: false (send nothing) when the
// run was called off.
bool MayChange();
// The run under way was called off before its first change.
bool RunCalledOff();

// The serial-flash opcodes that change the part: status write, programs and
// erases. The others read or only latch.
bool SpiOpcodeChangesFlash(unsigned char opcode);

}  // namespace device
