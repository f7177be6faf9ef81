// The serial flash parts the emulated bridges can carry, as data: what each
// part answers to the identification opcodes, its size, each erase opcode with
// the range it clears, its page buffer, its status-write rule, its protection
// bits and its AAI mode. Each row is a real chip as its data sheet describes it,
// or a stand-in marked as such that exercises one identification row of the
// host. One row per part, grouped by maker in the order of the flash type codes
// the host uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The flash type codes, as the host names the makers.
enum FlashMaker : std::uint8_t {
  kMakerUnknown = 0,
  kMakerPmc = 1,
  kMakerSst = 2,
  kMakerStEonMxic = 3,
  kMakerAtmel = 4,
  kMakerMxic = 5,
  kMakerWinbond = 6,
  kMakerAmic = 7,
  kMakerEon = 8,
  kMakerEsmt = 9,
  kMakerSanyo = 10,
  kMakerGigaDevice = 11,
};

enum class AaiMode : std::uint8_t { None, Byte, Word };

// What must come right before a status-register write (0x01) for the part to
// take it: the write enable (0x06), the enable-write-status opcode (0x50), or
// either of them.
enum class StatusWriteEnable : std::uint8_t { Wren, Ewsr, Either };

// A busy time as data sheets give it: typical and maximum, in microseconds.
struct BusyTime {
  std::uint32_t typicalUs = 0;
  std::uint32_t maximumUs = 0;
};

// Which of its two busy times an emulated part takes: the typical one by
// default; a test of the host's waits asks for the maximum.
enum class BusyTimes : std::uint8_t { Typical, Maximum };

// The busy time the part takes, in microseconds of the virtual clock.
std::uint32_t BusyUs(const BusyTime& time, BusyTimes which);

// One erase opcode of a part and the range it clears.
struct EraseCommand {
  std::uint8_t opcode = 0;
  // Bytes of the aligned unit the address falls in; 0: the whole chip, sent
  // without an address.
  std::uint32_t unit = 0;
  // Boot-sector parts: the unit sizes from address 0 upwards, replacing unit.
  std::vector<std::uint32_t> layout;
  BusyTime time;  // how long the part stays busy after it

  bool wholeChip() const { return unit == 0 && layout.empty(); }
};

// The range an erase opcode clears on a part.
struct EraseRange {
  std::uint32_t start = 0;
  std::uint32_t length = 0;  // 0: the part ignores the opcode
};

struct FlashPart {
  std::string name;  // catalogue key
  // The chip this row is, as its data sheet names it. Empty for a stand-in:
  // no real chip answers as this row does; standInFor says which
  // identification row of the host it exists for.
  std::string chip;
  std::string standInFor;
  std::uint8_t maker = kMakerUnknown;  // the flash type code of the chip's maker
  std::uint32_t sizeKb = 64;
  // What the part drives on its data-out line after each identification
  // opcode, byte by byte from the first clock after the opcode (address or
  // dummy clocks included). Empty: the part ignores the opcode and the line
  // floats high (0xFF). Past the listed bytes the line reads 0xFF too.
  std::vector<std::uint8_t> answer9F, answer90, answerAB, answer15;
  std::uint32_t pageSize = 256;  // program buffer; a page program wraps inside it
  BusyTime pageProgram;          // one page (one byte or word on the AAI parts)
  BusyTime statusWriteTime;      // the status register write (0x01)
  // Every erase opcode the part takes; any other erase opcode is ignored.
  std::vector<EraseCommand> erase;
  AaiMode aai = AaiMode::None;
  bool aaiStatusFlag = false;  // status bit 6 reads 1 while an AAI sequence is open
  StatusWriteEnable statusWrite = StatusWriteEnable::Wren;
  std::uint8_t protectMask = 0x1C;  // status bits a status write can change (block protection)
  // The protection bits the part comes up with at power-up: the SST parts set
  // their block protection, the others keep what was last written (none here).
  std::uint8_t powerUpProtection = 0;
  // The opcodes a bridge that recognises the part on its own programs into its
  // flash engine: chip erase, block erase, program, sector erase. They are the
  // bridge firmware's choice for the maker, not the part's: a part may ignore
  // one of them.
  std::uint8_t engineChipErase = 0xC7;
  std::uint8_t engineBlockErase = 0xD8;
  std::uint8_t engineProgram = 0x02;
  std::uint8_t engineSectorErase = 0x20;

  std::uint32_t sizeBytes() const { return sizeKb * 1024; }
  bool standIn() const { return chip.empty(); }
  const EraseCommand* FindErase(std::uint8_t opcode) const;
  // The range opcode clears when sent with address (wrapped at the part's
  // size, as the address lines wrap); length 0 when the part ignores it.
  EraseRange EraseRangeAt(std::uint8_t opcode, std::uint32_t address) const;
  // How long the part stays busy after the erase opcode; 0 when it has none.
  std::uint32_t EraseUs(std::uint8_t opcode, BusyTimes which) const;
  // The same in whole milliseconds, rounded up: what a host waiting in
  // milliseconds must wait at least.
  std::uint32_t EraseMs(std::uint8_t opcode, BusyTimes which) const;
};

// A fault an emulated flash can be given, named in data.
struct FlashFault {
  enum class Kind {
    StaysBusy,         // from the given program/erase operation on, busy never clears
    BitsDoNotProgram,  // the bits of mask stay 1 whatever is programmed
    WrongReadData,     // reads of the range come back with the bits of mask flipped
  };
  Kind kind = Kind::StaysBusy;
  int atOperation = 1;  // StaysBusy: counts program/erase operations from 1
  std::uint8_t mask = 0x01;
  std::uint32_t address = 0;
  std::uint32_t length = 0;  // WrongReadData, BitsDoNotProgram (transient): 0 means every address
  // WrongReadData and BitsDoNotProgram: 0 acts for good; N acts on the next N
  // reads (programs) that touch the range only, then the part behaves, so a
  // retry can succeed. A serial part counts chip-select cycles (a read, a page
  // program, an AAI step), a parallel part single bytes.
  int times = 0;
  mutable int used = 0;  // operations a transient fault has acted on

  // True when the fault acts on an operation over [start, start + n) of a
  // part of `size` bytes; counts the operation against a transient fault.
  bool ActsOn(Kind what, std::uint32_t start, std::size_t n, std::size_t size) const;
};

// Adds fault to a part's faults: a lasting stuck-bit fault joins stuckBits
// at once, and a busy fault from operation 0 on makes the part busy for good.
void AddFlashFault(std::vector<FlashFault>& faults, const FlashFault& fault,
                   std::uint8_t& stuckBits, bool& stuckBusy);

// Every part of the catalogue.
const std::vector<FlashPart>& FlashParts();
// The part of that name (or of a former name of a renamed part); null when
// there is none.
const FlashPart* FindFlashPart(const std::string& name);

}  // namespace sim
