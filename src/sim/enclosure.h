// An emulated enclosure: the chip behind one device path. It answers INQUIRY,
// the vendor-mode pair and the few commands a kernel's disk driver sends to
// any device (TEST UNIT READY, REQUEST SENSE, PREVENT ALLOW MEDIUM REMOVAL,
// START STOP UNIT); chip models add their commands to its table.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "sim/sim_device.h"

namespace sim {

class Enclosure : public SimDevice {
 public:
  Enclosure(std::string vendor, std::string product, std::string revision);

  void Execute(Machine& machine, Exchange& exchange) override;

  CommandTable& commands() { return commands_; }
  bool vendorMode() const { return vendorMode_; }
  int vendorModeEntries() const { return vendorModeEntries_; }
  // The 36 standard bytes and 4 vendor bytes (36..39) of the INQUIRY answer.
  std::array<std::uint8_t, 96>& inquiry() { return inquiry_; }
  // Name of the command that answered the last request ("" if rejected).
  const std::string& lastCommand() const { return *lastCommand_; }
  // Sense key and additional sense code REQUEST SENSE reports: those of the
  // last rejected request until the next request (0, 0 after a good one).
  std::uint8_t senseKey() const { return senseKey_; }
  std::uint8_t senseCode() const { return senseCode_; }

 protected:
  Machine* machine_ = nullptr;  // set while a request is being handled

 private:
  CommandTable commands_;
  std::array<std::uint8_t, 96> inquiry_{};
  bool vendorMode_ = false;
  int vendorModeEntries_ = 0;
  const std::string* lastCommand_ = &kNoCommand;
  static inline const std::string kNoCommand;
  std::uint8_t senseKey_ = 0;
  std::uint8_t senseCode_ = 0;
};

}  // namespace sim
