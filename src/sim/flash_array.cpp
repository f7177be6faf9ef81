#include "sim/flash_array.h"

#include <algorithm>

namespace sim {

void FlashArray::Read(std::size_t address, std::uint8_t* out, std::size_t n) const {
  for (std::size_t i = 0; i < n; ++i) out[i] = Read(address + i);
}

void FlashArray::Program(std::size_t address, std::uint8_t value) {
  std::uint8_t& cell = cells_[address % cells_.size()];
  cell = static_cast<std::uint8_t>(cell & (value | stuckBits));
  ++programCount;
}

void FlashArray::Program(std::size_t address, const std::uint8_t* data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) Program(address + i, data[i]);
}

void FlashArray::EraseUnit(std::size_t address, std::size_t unitSize) {
  if (unitSize == 0) return;
  const std::size_t start = (address % cells_.size()) / unitSize * unitSize;
  const std::size_t end = std::min(cells_.size(), start + unitSize);
  std::fill(cells_.begin() + static_cast<std::ptrdiff_t>(start),
            cells_.begin() + static_cast<std::ptrdiff_t>(end), 0xFF);
  ++eraseCount;
}

void FlashArray::EraseRange(std::size_t start, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) cells_[(start + i) % cells_.size()] = 0xFF;
  ++eraseCount;
}

void FlashArray::EraseAll() {
  std::fill(cells_.begin(), cells_.end(), 0xFF);
  ++eraseCount;
}

void FlashArray::Load(std::size_t address, const std::uint8_t* data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) cells_[(address + i) % cells_.size()] = data[i];
}

}  // namespace sim
