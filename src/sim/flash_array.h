// The storage cells of an emulated flash part: erased cells read 0xFF and
// programming can only clear bits, as in a real part. The chip models (serial
// flash, parallel flash, controller flash) put their command sets on top.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class FlashArray {
 public:
  explicit FlashArray(std::size_t size, std::uint8_t fill = 0xFF) : cells_(size, fill) {}

  std::size_t size() const { return cells_.size(); }
  // Addresses wrap at the part's size, as the address lines of a real part do.
  std::uint8_t Read(std::size_t address) const { return cells_[address % cells_.size()]; }
  void Read(std::size_t address, std::uint8_t* out, std::size_t n) const;
  // AND-programs one byte. stuckBits are bits that refuse to program (a fault).
  void Program(std::size_t address, std::uint8_t value);
  void Program(std::size_t address, const std::uint8_t* data, std::size_t n);
  // Sets the aligned unit containing address (unitSize bytes) to 0xFF.
  void EraseUnit(std::size_t address, std::size_t unitSize);
  // Sets length bytes from start to 0xFF (one erase operation).
  void EraseRange(std::size_t start, std::size_t length);
  void EraseAll();
  // Loads contents directly (factory programming for tests and profiles).
  void Load(std::size_t address, const std::uint8_t* data, std::size_t n);
  const std::vector<std::uint8_t>& cells() const { return cells_; }

  std::uint8_t stuckBits = 0;  // bits that never program from 1 to 0
  int programCount = 0;        // bytes programmed, for tests
  int eraseCount = 0;          // erase operations, for tests

 private:
  std::vector<std::uint8_t> cells_;
};

}  // namespace sim
