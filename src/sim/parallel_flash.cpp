#include "sim/parallel_flash.h"

namespace sim {

namespace {
// Steps of the command state machine.
enum Step {
  kIdle = 0,
  kGotAa = 1,         // unlock1 <- AA
  kGot55 = 2,         // unlock2 <- 55
  kProgramArmed = 3,  // unlock1 <- A0: the next cycle programs
  kErase1 = 4,        // unlock1 <- 80
  kErase2 = 5,        // unlock1 <- AA
  kErase3 = 6,        // unlock2 <- 55: unlock1 <- 10 erases the chip, 30 / 50 at an
                      // address in the unit its sector / block
};
}  // namespace

const ParallelPart& ParallelPartFor(ParallelPartKind kind) {
  // Busy times in microseconds, typical / maximum; docs/enclosure-profiles.md
  // names their sources and which of them are estimates.
  static const ParallelPart parts[] = {
      {"ATMELAT 49BV512", "AT49BV512", 0x5555, 0x2AAA, 0, 0,
       {3'300'000, 10'000'000}, {}, {30, 90}},
      {"PMC OM39LV512", "Pm39LV512", 0x0555, 0x02AA, 0x1000, 0x10000,
       {40'000, 120'000}, {40'000, 120'000}, {20, 60}},
      {"SST SST39LF512", "SST39LF512", 0x5555, 0x2AAA, 0x1000, 0,
       {70'000, 100'000}, {18'000, 25'000}, {14, 20}},
  };
  return parts[static_cast<int>(kind)];
}

ParallelFlash::ParallelFlash(ParallelPartKind kind)
    : kind_(kind), part_(ParallelPartFor(kind)), cells_(kSize) {}

void ParallelFlash::AddFault(const FlashFault& fault) {
  AddFlashFault(faults_, fault, cells_.stuckBits, stuckBusy_);
}

void ParallelFlash::StartOperation(const BusyTime& time, std::uint64_t nowUs) {
  ++operations_;
  readyAtUs_ = nowUs + (busyTimes_ == BusyTimes::Maximum ? time.maximumUs : time.typicalUs);
  for (const FlashFault& f : faults_)
    if (f.kind == FlashFault::Kind::StaysBusy && operations_ >= f.atOperation) stuckBusy_ = true;
}

void ParallelFlash::Write(std::uint16_t address, std::uint8_t data, std::uint64_t nowUs) {
  if (Busy(nowUs)) return;  // the part ignores the bus while it works
  const int before = step_;
  if (before == kProgramArmed) {
    step_ = kIdle;
    ProgramByte(address, data, nowUs);
    return;
  }
  const bool at1 = address == part_.unlock1;
  const bool at2 = address == part_.unlock2;
  step_ = NextStep(before, at1, at2, data);
  if (before == kErase3 && Erase(at1, address, data, nowUs)) return;
  if (before != kIdle && step_ == kIdle) {
    ++rejectedSequences;
    if (at1 && data == 0xAA) step_ = kGotAa;  // the broken sequence may start over here
  }
}

int ParallelFlash::NextStep(int step, bool at1, bool at2, std::uint8_t data) {
  switch (step) {
    case kIdle:
      return at1 && data == 0xAA ? kGotAa : kIdle;
    case kGotAa:
      return at2 && data == 0x55 ? kGot55 : kIdle;
    case kGot55:
      if (at1 && data == 0xA0) return kProgramArmed;
      return at1 && data == 0x80 ? kErase1 : kIdle;
    case kErase1:
      return at1 && data == 0xAA ? kErase2 : kIdle;
    case kErase2:
      return at2 && data == 0x55 ? kErase3 : kIdle;
    default:  // a program or erase cycle ends the sequence
      return kIdle;
  }
}

void ParallelFlash::ProgramByte(std::uint16_t address, std::uint8_t data, std::uint64_t nowUs) {
  const std::uint8_t lasting = cells_.stuckBits;
  for (const FlashFault& f : faults_)
    if (f.times > 0 && f.ActsOn(FlashFault::Kind::BitsDoNotProgram, address, 1, kSize))
      cells_.stuckBits |= f.mask;
  cells_.Program(address, data);
  cells_.stuckBits = lasting;
  ++programmedBytes;
  StartOperation(part_.byteProgram, nowUs);
}

bool ParallelFlash::Erase(bool at1, std::uint16_t address, std::uint8_t data,
                          std::uint64_t nowUs) {
  if (at1 && data == 0x10) {
    cells_.EraseAll();
    ++chipErases;
    StartOperation(part_.chipErase, nowUs);
    return true;
  }
  const std::uint32_t unit = data == 0x30 ? part_.sectorErase30
                             : data == 0x50 ? part_.blockErase50
                                            : 0;
  if (unit == 0) return false;
  cells_.EraseUnit(address, unit);
  ++unitErases;
  StartOperation(part_.unitErase, nowUs);
  return true;
}

std::uint8_t ParallelFlash::Read(std::uint32_t address) const {
  std::uint8_t value = cells_.Read(address % kSize);
  for (const FlashFault& f : faults_)
    if (f.ActsOn(FlashFault::Kind::WrongReadData, address % kSize, 1, kSize)) {
      const std::uint32_t a = address % kSize;
      if (f.length == 0 || (a >= f.address && a - f.address < f.length)) value ^= f.mask;
    }
  return value;
}

bool ParallelFlash::Busy(std::uint64_t nowUs) const { return stuckBusy_ || nowUs < readyAtUs_; }

bool ParallelFlash::Settle(std::uint64_t& nowUs) const {
  if (stuckBusy_) return false;
  if (nowUs < readyAtUs_) nowUs = readyAtUs_;
  return true;
}

}  // namespace sim
