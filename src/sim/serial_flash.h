// An emulated serial (SPI) flash part at opcode level: the bridge's flash
// engine and the host's raw command path both drive it through chip-select
// cycles, so the part's own rules (write-enable latch, block protection, busy
// time, page wrap, AAI sequences) apply to every route alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/flash_array.h"
#include "sim/flash_parts.h"

namespace sim {

class SerialFlash {
 public:
  explicit SerialFlash(FlashPart part);

  const FlashPart& part() const { return part_; }
  FlashArray& cells() { return cells_; }
  const FlashArray& cells() const { return cells_; }

  // One chip-select cycle: mosi is clocked out to the part (opcode first),
  // then readLength bytes are clocked in; the part acts when the cycle ends.
  std::vector<std::uint8_t> Transfer(const std::vector<std::uint8_t>& mosi,
                                     std::size_t readLength, std::uint64_t nowMs);

  // The status register as 0x05 reads it: bit 0 busy, bit 1 write enabled,
  // bits 2.. protection.
  std::uint8_t Status(std::uint64_t nowMs) const;
  bool Busy(std::uint64_t nowMs) const;
  // Finishes a pending erase or program at once: the bridge engine waits for
  // its flash inside its own command. False when the part never comes back.
  bool Settle(std::uint64_t nowMs);
  // Power cycle or chip reset: latches and AAI mode drop, contents and the
  // non-volatile protection bits stay.
  void PowerOn();

  void AddFault(const FlashFault& fault);
  void SetProtection(std::uint8_t bits) { statusBits_ = bits & part_.protectMask; }

  bool writeEnabled() const { return writeEnabled_ && !latchDropsWhenDone_; }
  bool aaiActive() const { return aai_ != AaiMode::None; }
  std::uint8_t protectionBits() const { return statusBits_; }
  bool stuckBusy() const { return stuckBusy_; }

  // Counters for tests: operations the part carried out, and commands it
  // ignored (busy, no write enable, protected, or not its opcode).
  int programOperations = 0;
  int eraseOperations = 0;
  int ignoredCommands = 0;

 private:
  std::vector<std::uint8_t> Answer(const std::vector<std::uint8_t>& answer,
                                   std::size_t clocked, std::size_t readLength) const;
  std::vector<std::uint8_t> ReadArray(std::uint32_t address, std::size_t n) const;
  bool MayModify();  // write enabled and not protected; counts an ignore otherwise
  void StartOperation(std::uint64_t nowMs, std::uint32_t durationMs, bool erase);
  void PageProgram(std::uint32_t address, const std::uint8_t* data, std::size_t n);
  void EraseBlockAt(std::uint32_t address);
  void Aai(const std::vector<std::uint8_t>& mosi, std::uint64_t nowMs);
  void Complete(std::uint64_t nowMs);  // drops the latch once the operation is done
  static std::uint32_t Address(const std::vector<std::uint8_t>& mosi);

  FlashPart part_;
  FlashArray cells_;
  std::uint8_t statusBits_ = 0;
  bool writeEnabled_ = false;
  bool latchDropsWhenDone_ = false;
  bool statusWriteEnabled_ = false;  // 0x50 seen
  AaiMode aai_ = AaiMode::None;
  std::uint32_t aaiAddress_ = 0;
  std::uint64_t busyUntil_ = 0;
  bool stuckBusy_ = false;
  int operations_ = 0;
  std::vector<FlashFault> faults_;
};

}  // namespace sim
