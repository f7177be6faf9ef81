// An emulated serial (SPI) flash part at opcode level: the bridge's flash
// engine and the host's raw command path both drive it through chip-select
// cycles, so the part's own rules (write-enable latch, block protection, busy
// time, page wrap, AAI sequences) apply to every route alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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
  std::vector<std::uint8_t> Transfer(const std::vector<std::uint8_t>& mosi, std::size_t readLength,
                                     std::uint64_t nowUs);

  // The status register as 0x05 reads it: bit 0 busy, bit 1 write enabled,
  // the part's protection bits, and on parts that have it the AAI flag (bit 6).
  std::uint8_t Status(std::uint64_t nowUs) const;
  bool Busy(std::uint64_t nowUs) const;
  // Times are microseconds of the virtual clock.
  // When the work under way ends (nowUs when there is none); false when the
  // part never comes back.
  bool ReadyAt(std::uint64_t nowUs, std::uint64_t& readyUs) const;
  // Typical busy times unless the maximum ones are asked for.
  void SetBusyTimes(BusyTimes which) { busyTimes_ = which; }
  BusyTimes busyTimes() const { return busyTimes_; }
  std::uint32_t EraseMs(std::uint8_t opcode) const { return part_.EraseMs(opcode, busyTimes_); }
  std::uint32_t EraseUs(std::uint8_t opcode) const { return part_.EraseUs(opcode, busyTimes_); }
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
  std::vector<std::uint8_t> Answer(const std::vector<std::uint8_t>& answer, std::size_t clocked,
                                   std::size_t readLength) const;
  std::vector<std::uint8_t> ReadArray(std::uint32_t address, std::size_t n) const;
  bool MayModify();  // write enabled and not protected; counts an ignore otherwise
  void StartOperation(std::uint64_t nowUs, std::uint32_t durationUs, bool erase);
  void PageProgram(std::uint32_t address, const std::uint8_t* data, std::size_t n);
  // Bits the transient program faults hold at 1 for this operation (counts it).
  std::uint8_t TransientStuckBits(std::uint32_t address, std::size_t n) const;
  void Erase(std::uint8_t opcode, const EraseRange& range, std::uint64_t nowUs);
  void Aai(const std::vector<std::uint8_t>& mosi, std::uint64_t nowUs);
  // The parts of a chip-select cycle (mosi is not empty): a cycle inside an
  // AAI sequence; whether chip select rose where the opcode needs it; what a
  // read or identification opcode clocks in (none for the other opcodes); the
  // status write; every other opcode.
  void DuringAai(const std::vector<std::uint8_t>& mosi, std::uint64_t nowUs);
  bool Framed(const std::vector<std::uint8_t>& mosi) const;
  std::optional<std::vector<std::uint8_t>> ReadCycle(const std::vector<std::uint8_t>& mosi,
                                                     std::size_t readLength) const;
  void WriteStatus(const std::vector<std::uint8_t>& mosi, std::uint64_t nowUs);
  void Command(const std::vector<std::uint8_t>& mosi, std::uint64_t nowUs);
  void Complete(std::uint64_t nowUs);  // drops the latch once the operation is done
  static std::uint32_t Address(const std::vector<std::uint8_t>& mosi);

  FlashPart part_;
  FlashArray cells_;
  std::uint8_t statusBits_ = 0;
  bool writeEnabled_ = false;
  bool latchDropsWhenDone_ = false;
  bool statusWriteEnabled_ = false;  // 0x50 seen on a part that takes it
  AaiMode aai_ = AaiMode::None;
  std::uint32_t aaiAddress_ = 0;
  std::uint64_t busyUntilUs_ = 0;
  BusyTimes busyTimes_ = BusyTimes::Typical;
  bool stuckBusy_ = false;
  int operations_ = 0;
  std::vector<FlashFault> faults_;
};

// What a flash engine uses now: the opcodes it sends and its page size.
struct EngineSettings {
  std::uint8_t chipErase = 0xC7;
  std::uint8_t blockErase = 0xD8;
  std::uint8_t program = 0x02;
  std::uint8_t sectorErase = 0x20;
  std::uint8_t maker = 0;
  std::uint32_t pageSize = 256;
};

// The settings a chip that recognises the part on its own starts with: the
// part's opcodes and, where it is smaller than 256 bytes, its page.
EngineSettings NativeEngineSettings(const FlashPart& part);

// The flash engine a bridge or controller firmware runs: it drives the part
// opcode by opcode with its settings, as a real engine does, without asking
// whether earlier work is done: a part still busy ignores what it is sent and
// reads 0xFF. Only between the steps of its own command (the pages of a
// program, an erase that comes before the data) does the engine poll the
// part, and that time passes inside the command: nowUs moves on. A step
// returns false when the part never comes back (or there is no part).
class FlashEngine {
 public:
  explicit FlashEngine(std::shared_ptr<SerialFlash> flash = nullptr) : flash_(std::move(flash)) {}

  SerialFlash* flash() const { return flash_.get(); }
  // Polls until the part is ready, moving nowUs on; false when it never is.
  bool Wait(std::uint64_t& nowUs);
  bool EraseChip(std::uint64_t nowUs) { return Erase(settings.chipErase, false, 0, nowUs); }
  bool Erase(std::uint8_t opcode, bool withAddress, std::uint32_t address, std::uint64_t nowUs);
  // Page programs of settings.pageSize split at page boundaries (a page larger
  // than the part's buffer wraps inside the part), each followed by a wait, or
  // one AAI sequence when the program opcode is 0xAF or 0xAD.
  bool Program(std::uint32_t address, const std::uint8_t* data, std::uint32_t n,
               std::uint64_t& nowUs);
  bool Read(std::uint32_t address, std::uint8_t* out, std::uint32_t n, std::uint64_t nowUs);

  EngineSettings settings;

 private:
  void Send(const std::vector<std::uint8_t>& mosi, std::uint64_t nowUs);
  std::shared_ptr<SerialFlash> flash_;
};

}  // namespace sim
