// The serial flash parts the emulated bridges can carry, as data: what each
// part answers to the identification opcodes, its size, its erase opcodes and
// units, its page buffer and its AAI mode. One row per part, grouped by maker
// in the order of the flash type codes the host uses.
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

struct FlashTiming {
  std::uint32_t sectorEraseMs = 30;
  std::uint32_t blockEraseMs = 200;
  std::uint32_t chipEraseMs = 1200;
  std::uint32_t pageProgramMs = 1;
  std::uint32_t statusWriteMs = 5;
  std::uint32_t aaiProgramMs = 0;  // far below a millisecond on real parts
};

struct FlashPart {
  std::string name;                    // catalogue key
  std::uint8_t maker = kMakerUnknown;  // the flash type code identification yields
  std::uint32_t sizeKb = 64;
  // What the part drives on its data-out line after each identification
  // opcode, byte by byte from the first clock after the opcode (address or
  // dummy clocks included). Empty: the part ignores the opcode and the line
  // floats high (0xFF). Past the listed bytes the line reads 0xFF too.
  std::vector<std::uint8_t> answer9F, answer90, answerAB, answer15;
  std::uint32_t sectorSize = 0x1000;
  std::uint32_t blockSize = 0x10000;
  // Non-uniform block layout (boot-sector parts): block start addresses in
  // ascending order; the last block runs to the end of the part.
  std::vector<std::uint32_t> blockStarts;
  std::uint32_t pageSize = 256;  // program buffer; a page program wraps inside it
  std::vector<std::uint8_t> chipEraseOps{0xC7, 0x60};
  std::vector<std::uint8_t> blockEraseOps{0xD8};
  std::vector<std::uint8_t> sectorEraseOps{0x20};
  AaiMode aai = AaiMode::None;
  bool ewsr = false;                // 0x50 enables a status write (SST)
  std::uint8_t protectMask = 0x1C;  // status bits a status write can change (block protection)
  // The opcodes a bridge that recognises the part on its own programs into its
  // flash engine: chip erase, block erase, program, sector erase.
  std::uint8_t engineChipErase = 0xC7;
  std::uint8_t engineBlockErase = 0xD8;
  std::uint8_t engineProgram = 0x02;
  std::uint8_t engineSectorErase = 0x20;
  FlashTiming timing;

  std::uint32_t sizeBytes() const { return sizeKb * 1024; }
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

// Every part of the catalogue.
const std::vector<FlashPart>& FlashParts();
// The part of that name; null when there is none.
const FlashPart* FindFlashPart(const std::string& name);

}  // namespace sim
