#include "scsi/change_gate.h"

#include <utility>

namespace device {

namespace {
ChangeGate* g_gate = nullptr;  // the innermost gate; one thread
}  // namespace

ChangeGate::ChangeGate(std::function<bool()> stop) : stop_(std::move(stop)), previous_(g_gate) {
  g_gate = this;
}

ChangeGate::~ChangeGate() {
  g_gate = previous_;
  // A change inside a nested run is a change of the run around it.
  if (previous_ != nullptr && changed_) previous_->changed_ = true;
}

bool MayChange() {
  ChangeGate* gate = g_gate;
  if (gate == nullptr || gate->changed_) return true;
  if (!gate->calledOff_ && gate->stop_ && gate->stop_()) gate->calledOff_ = true;
  if (gate->calledOff_) return false;
  gate->changed_ = true;
  return true;
}

bool RunCalledOff() { return g_gate != nullptr && g_gate->calledOff(); }

bool SpiOpcodeChangesFlash(unsigned char opcode) {
  switch (opcode) {
    case 0x01:  // write status
    case 0x02:  // page program
    case 0xAD:  // AAI word program
    case 0xAF:  // AAI byte program
    case 0xC7:  // chip erase
    case 0x60:
    case 0x62:
    case 0x20:  // sector erase
    case 0xD7:
    case 0x52:  // block erase
    case 0xD8:
      return true;
    default:
      return false;
  }
}

}  // namespace device
