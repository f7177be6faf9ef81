// The 512-Kbit parallel flash of the internal-ROM bridges, at bus-cycle level.
// The part programs or erases only after the unlock cycles of its own maker
// (address and data must match); anything else resets its command state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/flash_array.h"
#include "sim/flash_parts.h"

namespace sim {

// The three parts the host offers in its list, in the host's index order.
enum class ParallelPartKind { Atmel49BV512 = 0, Pmc39LV512 = 1, Sst39LF512 = 2 };

struct ParallelPart {
  std::string name;                // as the host's list shows it
  std::string chip;                // the chip, as its data sheet names it
  std::uint16_t unlock1 = 0x5555;  // receives 0xAA, then the command byte
  std::uint16_t unlock2 = 0x2AAA;  // receives 0x55
  // Erases besides the chip erase (0x10): the six-cycle sequence ending in
  // 0x30 (sector) or 0x50 (block) written to an address in the unit; 0 when
  // the part has no such erase and ends the sequence without erasing.
  std::uint32_t sectorErase30 = 0;
  std::uint32_t blockErase50 = 0;
  // Busy times, typical and maximum: the chip erase, a sector or block erase
  // and one byte program.
  BusyTime chipErase;
  BusyTime unitErase;
  BusyTime byteProgram;
};

const ParallelPart& ParallelPartFor(ParallelPartKind kind);

class ParallelFlash {
 public:
  static constexpr std::uint32_t kSize = 0x10000;

  explicit ParallelFlash(ParallelPartKind kind);

  const ParallelPart& part() const { return part_; }
  ParallelPartKind kind() const { return kind_; }
  FlashArray& cells() { return cells_; }
  const FlashArray& cells() const { return cells_; }

  // Typical busy times unless the maximum is asked for.
  void SetBusyTimes(BusyTimes which) { busyTimes_ = which; }

  // One write cycle on the flash bus at nowUs (microseconds of the virtual
  // clock). While an operation runs the part ignores the bus.
  void Write(std::uint16_t address, std::uint8_t data, std::uint64_t nowUs);
  std::uint8_t Read(std::uint32_t address) const;
  // The chip's busy byte source: true while an operation runs at nowUs.
  bool Busy(std::uint64_t nowUs) const;
  // Waits for the running operation, moving nowUs on to its end (the chip
  // polls between bytes of its own program run). False when the part never
  // comes back.
  bool Settle(std::uint64_t& nowUs) const;

  void AddFault(const FlashFault& fault);

  int programmedBytes = 0;
  int chipErases = 0;
  int unitErases = 0;  // sector and block erases
  int rejectedSequences = 0;  // command cycles that broke the unlock sequence

 private:
  void StartOperation(const BusyTime& time, std::uint64_t nowUs);
  // The step of the command sequence a write cycle leads to from step.
  static int NextStep(int step, bool at1, bool at2, std::uint8_t data);
  void ProgramByte(std::uint16_t address, std::uint8_t data, std::uint64_t nowUs);
  // The last cycle of an erase sequence; false when it names no erase.
  bool Erase(bool at1, std::uint16_t address, std::uint8_t data, std::uint64_t nowUs);

  ParallelPartKind kind_;
  ParallelPart part_;
  FlashArray cells_;
  BusyTimes busyTimes_ = BusyTimes::Typical;
  int step_ = 0;  // position in the command sequence
  std::uint64_t readyAtUs_ = 0;
  bool stuckBusy_ = false;
  int operations_ = 0;
  std::vector<FlashFault> faults_;
};

}  // namespace sim
