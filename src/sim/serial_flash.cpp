#include "sim/serial_flash.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace sim {

SerialFlash::SerialFlash(FlashPart part) : part_(std::move(part)), cells_(part_.sizeBytes()) {}

std::uint32_t SerialFlash::Address(const std::vector<std::uint8_t>& mosi) {
  auto at = [&](std::size_t i) -> std::uint32_t { return i < mosi.size() ? mosi[i] : 0; };
  return (at(1) << 16) | (at(2) << 8) | at(3);
}

bool SerialFlash::Busy(std::uint64_t nowUs) const { return stuckBusy_ || nowUs < busyUntilUs_; }

std::uint8_t SerialFlash::Status(std::uint64_t nowUs) const {
  std::uint8_t s = statusBits_;
  // The latch reads set until the operation that uses it completes.
  if (writeEnabled_ && !(latchDropsWhenDone_ && !Busy(nowUs))) s |= 0x02;
  if (Busy(nowUs)) s |= 0x01;
  if (aai_ != AaiMode::None && part_.aaiStatusFlag) s |= 0x40;
  return s;
}

bool SerialFlash::ReadyAt(std::uint64_t nowUs, std::uint64_t& readyUs) const {
  if (stuckBusy_) return false;
  readyUs = busyUntilUs_ > nowUs ? busyUntilUs_ : nowUs;
  return true;
}

void SerialFlash::Complete(std::uint64_t nowUs) {
  if (latchDropsWhenDone_ && !Busy(nowUs)) {
    writeEnabled_ = false;
    latchDropsWhenDone_ = false;
  }
}

void SerialFlash::PowerOn() {
  writeEnabled_ = false;
  latchDropsWhenDone_ = false;
  statusWriteEnabled_ = false;
  aai_ = AaiMode::None;
  busyUntilUs_ = 0;
}

void SerialFlash::AddFault(const FlashFault& fault) {
  AddFlashFault(faults_, fault, cells_.stuckBits, stuckBusy_);
}

std::vector<std::uint8_t> SerialFlash::Answer(const std::vector<std::uint8_t>& answer,
                                              std::size_t clocked, std::size_t readLength) const {
  std::vector<std::uint8_t> out(readLength, 0xFF);
  for (std::size_t i = 0; i < readLength; ++i)
    if (clocked + i < answer.size()) out[i] = answer[clocked + i];
  return out;
}

std::vector<std::uint8_t> SerialFlash::ReadArray(std::uint32_t address, std::size_t n) const {
  std::vector<std::uint8_t> out(n);
  cells_.Read(address, out.data(), n);
  for (const FlashFault& f : faults_) {
    if (!f.ActsOn(FlashFault::Kind::WrongReadData, address, n, cells_.size())) continue;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t a = static_cast<std::uint32_t>((address + i) % cells_.size());
      if (f.length == 0 || (a >= f.address && a - f.address < f.length)) out[i] ^= f.mask;
    }
  }
  return out;
}

bool SerialFlash::MayModify() {
  if (!writeEnabled_ || (statusBits_ & part_.protectMask) != 0) {
    ++ignoredCommands;
    return false;
  }
  return true;
}

void SerialFlash::StartOperation(std::uint64_t nowUs, std::uint32_t durationUs, bool erase) {
  ++operations_;
  if (erase)
    ++eraseOperations;
  else
    ++programOperations;
  busyUntilUs_ = nowUs + durationUs;
  for (const FlashFault& f : faults_)
    if (f.kind == FlashFault::Kind::StaysBusy && operations_ >= f.atOperation) stuckBusy_ = true;
}

void SerialFlash::PageProgram(std::uint32_t address, const std::uint8_t* data, std::size_t n) {
  // The part latches the bytes into its page buffer, wrapping at the page
  // end, and programs only the positions that were written.
  const std::uint32_t page = std::max<std::uint32_t>(1, part_.pageSize);
  const std::uint32_t base = address / page * page;
  std::vector<std::uint8_t> buffer(page, 0xFF);
  std::vector<bool> touched(page, false);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t at = static_cast<std::uint32_t>((address - base + i) % page);
    buffer[at] = data[i];
    touched[at] = true;
  }
  const std::uint8_t lasting = cells_.stuckBits;
  cells_.stuckBits |= TransientStuckBits(address, n);
  for (std::uint32_t i = 0; i < page; ++i)
    if (touched[i]) cells_.Program(base + i, buffer[i]);
  cells_.stuckBits = lasting;
}

std::uint8_t SerialFlash::TransientStuckBits(std::uint32_t address, std::size_t n) const {
  std::uint8_t bits = 0;
  for (const FlashFault& f : faults_)
    if (f.times > 0 && f.ActsOn(FlashFault::Kind::BitsDoNotProgram, address, n, cells_.size()))
      bits |= f.mask;
  return bits;
}

void SerialFlash::Erase(std::uint8_t opcode, const EraseRange& range, std::uint64_t nowUs) {
  if (range.length >= cells_.size())
    cells_.EraseAll();
  else
    cells_.EraseRange(range.start, range.length);
  latchDropsWhenDone_ = true;
  StartOperation(nowUs, EraseUs(opcode), true);
}

void SerialFlash::Aai(const std::vector<std::uint8_t>& mosi, std::uint64_t nowUs) {
  const bool word = part_.aai == AaiMode::Word;
  const std::size_t dataBytes = word ? 2 : 1;
  const bool withAddress = mosi.size() >= 4 + dataBytes;
  const bool continuation = aai_ != AaiMode::None && mosi.size() == 1 + dataBytes;
  if (!withAddress && !continuation) {
    ++ignoredCommands;  // a continuation outside AAI mode, or a short cycle
    return;
  }
  if (aai_ == AaiMode::None) {
    if (!MayModify()) return;
    aai_ = part_.aai;
  }
  // In AAI mode the write-enable latch stays set until the sequence ends.
  const std::size_t first = withAddress ? 4 : 1;
  if (withAddress) aaiAddress_ = Address(mosi) & (word ? ~1u : ~0u);
  const std::uint8_t lasting = cells_.stuckBits;
  cells_.stuckBits |= TransientStuckBits(aaiAddress_, dataBytes);
  for (std::size_t i = 0; i < dataBytes; ++i) cells_.Program(aaiAddress_ + i, mosi[first + i]);
  cells_.stuckBits = lasting;
  aaiAddress_ += static_cast<std::uint32_t>(dataBytes);
  StartOperation(nowUs, BusyUs(part_.pageProgram, busyTimes_), false);
  if (aaiAddress_ >= cells_.size()) {  // the sequence ends at the top of the array
    aai_ = AaiMode::None;
    writeEnabled_ = false;
  }
}

void SerialFlash::DuringAai(const std::vector<std::uint8_t>& mosi, std::uint64_t nowUs) {
  // During an AAI sequence the part takes only further AAI cycles and the
  // write disable that ends it.
  const std::uint8_t op = mosi[0];
  const std::uint8_t aaiOp = aai_ == AaiMode::Word ? 0xAD : 0xAF;
  if (op == aaiOp) {
    Aai(mosi, nowUs);
  } else if (op == 0x04) {
    aai_ = AaiMode::None;
    writeEnabled_ = false;
  } else {
    ++ignoredCommands;
  }
}

bool SerialFlash::Framed(const std::vector<std::uint8_t>& mosi) const {
  // Chip select must rise right after a command's last byte: a part drops a
  // write enable, write disable or erase that is followed by more clocks.
  const std::uint8_t op = mosi[0];
  const bool oneByte = op == 0x06 || op == 0x04 || op == 0x50;
  const EraseCommand* erase = part_.FindErase(op);
  const std::size_t exact = oneByte ? 1 : erase == nullptr ? 0 : erase->wholeChip() ? 1 : 4;
  return exact == 0 || mosi.size() == exact;
}

std::optional<std::vector<std::uint8_t>> SerialFlash::ReadCycle(
    const std::vector<std::uint8_t>& mosi, std::size_t readLength) const {
  switch (mosi[0]) {
    case 0x03:
      return ReadArray(Address(mosi), readLength);
    case 0x0B: {  // fast read: one dummy byte after the address
      const std::size_t skip = mosi.size() >= 5 ? 0 : 5 - mosi.size();
      std::vector<std::uint8_t> data = ReadArray(Address(mosi), readLength + skip);
      return std::vector<std::uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(skip),
                                       data.end());
    }
    case 0x9F:
      return Answer(part_.answer9F, mosi.size() - 1, readLength);
    case 0x90:
      return Answer(part_.answer90, mosi.size() - 1, readLength);
    case 0xAB:
      return Answer(part_.answerAB, mosi.size() - 1, readLength);
    case 0x15:
      return Answer(part_.answer15, mosi.size() - 1, readLength);
    default:
      return std::nullopt;
  }
}

void SerialFlash::WriteStatus(const std::vector<std::uint8_t>& mosi, std::uint64_t nowUs) {
  // Only a status write after the enable the part takes (0x06, 0x50 or
  // either) changes the protection bits.
  const bool byWren = writeEnabled_ && part_.statusWrite != StatusWriteEnable::Ewsr;
  const bool byEwsr = statusWriteEnabled_ && part_.statusWrite != StatusWriteEnable::Wren;
  // Chip select must rise right after the status byte; the SST parts
  // take the first byte of a longer cycle.
  const bool framed = part_.aai != AaiMode::None ? mosi.size() >= 2 : mosi.size() == 2;
  if ((byWren || byEwsr) && framed) {
    statusBits_ = mosi[1] & part_.protectMask;
    latchDropsWhenDone_ = true;
    statusWriteEnabled_ = false;
    busyUntilUs_ = nowUs + BusyUs(part_.statusWriteTime, busyTimes_);
  } else {
    ++ignoredCommands;
  }
}

void SerialFlash::Command(const std::vector<std::uint8_t>& mosi, std::uint64_t nowUs) {
  const std::uint8_t op = mosi[0];
  switch (op) {
    case 0x06:
      writeEnabled_ = true;
      break;
    case 0x04:
      writeEnabled_ = false;
      break;
    case 0x50:
      if (part_.statusWrite != StatusWriteEnable::Wren)
        statusWriteEnabled_ = true;
      else
        ++ignoredCommands;
      break;
    case 0x01:
      WriteStatus(mosi, nowUs);
      break;
    case 0x02:
      if (mosi.size() < 5 || !MayModify()) {
        if (mosi.size() < 5) ++ignoredCommands;
        break;
      }
      PageProgram(Address(mosi), mosi.data() + 4, mosi.size() - 4);
      latchDropsWhenDone_ = true;
      StartOperation(nowUs, BusyUs(part_.pageProgram, busyTimes_), false);
      break;
    case 0xAF:
    case 0xAD:
      if ((op == 0xAF && part_.aai == AaiMode::Byte) || (op == 0xAD && part_.aai == AaiMode::Word))
        Aai(mosi, nowUs);
      else
        ++ignoredCommands;
      break;
    default: {
      // An opcode the part does not have does nothing.
      const EraseCommand* erase = part_.FindErase(op);
      if (erase == nullptr) {
        ++ignoredCommands;
        break;
      }
      if (!MayModify()) break;
      Erase(op, part_.EraseRangeAt(op, erase->wholeChip() ? 0 : Address(mosi)), nowUs);
      break;
    }
  }
}

std::vector<std::uint8_t> SerialFlash::Transfer(const std::vector<std::uint8_t>& mosi,
                                                std::size_t readLength, std::uint64_t nowUs) {
  if (mosi.empty()) return std::vector<std::uint8_t>(readLength, 0xFF);
  Complete(nowUs);
  if (mosi[0] == 0x05) return std::vector<std::uint8_t>(readLength, Status(nowUs));
  if (Busy(nowUs)) {
    ++ignoredCommands;  // only the status read is answered while busy
  } else if (aai_ != AaiMode::None) {
    DuringAai(mosi, nowUs);
  } else if (!Framed(mosi)) {
    ++ignoredCommands;
  } else if (std::optional<std::vector<std::uint8_t>> data = ReadCycle(mosi, readLength)) {
    return std::move(*data);
  } else {
    Command(mosi, nowUs);
  }
  return std::vector<std::uint8_t>(readLength, 0xFF);
}

// --- flash engine ----------------------------------------------------------------

EngineSettings NativeEngineSettings(const FlashPart& part) {
  EngineSettings s;
  s.chipErase = part.engineChipErase;
  s.blockErase = part.engineBlockErase;
  s.program = part.engineProgram;
  s.sectorErase = part.engineSectorErase;
  s.maker = part.maker;
  // A bridge sold with the part programs the pages it takes (128 bytes on the
  // M25P05 and the AT25F512A); the byte-wide SST parts go by AAI instead.
  if (part.pageSize > 1 && part.pageSize < s.pageSize) s.pageSize = part.pageSize;
  return s;
}

void FlashEngine::Send(const std::vector<std::uint8_t>& mosi, std::uint64_t nowUs) {
  flash_->Transfer(mosi, 0, nowUs);
}

bool FlashEngine::Wait(std::uint64_t& nowUs) {
  std::uint64_t ready = nowUs;
  if (!flash_ || !flash_->ReadyAt(nowUs, ready)) return false;
  nowUs = ready;
  return true;
}

bool FlashEngine::Erase(std::uint8_t opcode, bool withAddress, std::uint32_t address,
                        std::uint64_t nowUs) {
  if (!flash_) return false;
  Send({0x06}, nowUs);
  if (withAddress)
    Send({opcode, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(address)},
         nowUs);
  else
    Send({opcode}, nowUs);
  return true;
}

bool FlashEngine::Read(std::uint32_t address, std::uint8_t* out, std::uint32_t n,
                       std::uint64_t nowUs) {
  if (!flash_) return false;
  const std::vector<std::uint8_t> data = flash_->Transfer(
      {0x03, static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 8),
       static_cast<std::uint8_t>(address)},
      n, nowUs);
  std::copy(data.begin(), data.end(), out);
  return true;
}

bool FlashEngine::Program(std::uint32_t address, const std::uint8_t* data, std::uint32_t n,
                          std::uint64_t& nowUs) {
  const auto withAddress = [](std::uint8_t op, std::uint32_t a) {
    return std::vector<std::uint8_t>{op, static_cast<std::uint8_t>(a >> 16),
                                     static_cast<std::uint8_t>(a >> 8),
                                     static_cast<std::uint8_t>(a)};
  };
  if (!flash_) return false;
  if (n == 0) return true;
  if (settings.program == 0xAF || settings.program == 0xAD) {
    const bool word = settings.program == 0xAD;
    const std::uint32_t unit = word ? 2 : 1;
    Send({0x06}, nowUs);
    std::vector<std::uint8_t> mosi;
    for (std::uint32_t i = 0; i < n; i += unit) {
      mosi = i == 0 ? withAddress(settings.program, address)
                    : std::vector<std::uint8_t>{settings.program};
      for (std::uint32_t j = 0; j < unit; ++j) mosi.push_back(i + j < n ? data[i + j] : 0xFF);
      Send(mosi, nowUs);
      if (!Wait(nowUs)) return false;
    }
    Send({0x04}, nowUs);
    return true;
  }
  const std::uint32_t page = std::max<std::uint32_t>(1, settings.pageSize);
  std::uint32_t done = 0;
  std::vector<std::uint8_t> mosi;
  while (done < n) {
    const std::uint32_t a = address + done;
    const std::uint32_t chunk = std::min(n - done, page - a % page);
    Send({0x06}, nowUs);
    mosi = withAddress(settings.program, a);
    mosi.insert(mosi.end(), data + done, data + done + chunk);
    Send(mosi, nowUs);
    if (!Wait(nowUs)) return false;
    done += chunk;
  }
  return true;
}

}  // namespace sim
