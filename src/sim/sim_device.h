// What an emulated enclosure sees of one pass-through request, and the
// per-command dispatch table its chip models register their commands into.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr std::uint8_t kStatusGood = 0x00;
inline constexpr std::uint8_t kStatusCheckCondition = 0x02;

class Machine;

// One request as the device handles it. data points at the transfer-length
// buffer (null when there is none); the device fills it for data-in requests.
struct Exchange {
  const std::uint8_t* cdb = nullptr;
  int cdbLength = 0;
  bool dataIn = true;
  std::uint8_t* data = nullptr;
  std::uint32_t length = 0;
  std::uint32_t transferred = 0;  // what the device moved; set to length before dispatch
  std::uint8_t status = kStatusGood;
  std::uint64_t nowUs = 0;        // virtual time at the request, in microseconds
  // Set by the device: the name of the command that answered ("" when none);
  // it stays valid while the device lives.
  std::string_view command;

  std::uint8_t at(int i) const { return i < cdbLength ? cdb[i] : 0; }
  void Reject() {
    status = kStatusCheckCondition;
    transferred = 0;
  }
};

// A CDB pattern written as hex bytes with "??" for any byte: "FF 04 54 58 ??".
class CdbPattern {
 public:
  CdbPattern() = default;
  explicit CdbPattern(const std::string& text);
  bool Matches(const std::uint8_t* cdb, int cdbLength) const;
  bool empty() const { return bytes_.empty(); }

 private:
  std::vector<int> bytes_;  // -1 = any
};

using CommandHandler = std::function<void(Exchange&)>;

// Commands are tried in the order they were added; an unknown command block is
// rejected with CHECK CONDITION, the way a chip answers what it does not know.
class CommandTable {
 public:
  void Add(std::string name, CdbPattern pattern, CommandHandler handler);
  void Add(std::string name, std::function<bool(const Exchange&)> matches,
           CommandHandler handler);
  // Returns the name of the command that answered, or "" when none did.
  const std::string& Dispatch(Exchange& exchange) const;

 private:
  struct Entry {
    std::string name;
    std::function<bool(const Exchange&)> matches;
    CommandHandler handler;
  };
  std::vector<Entry> entries_;
};

// The thing behind one device path.
class SimDevice {
 public:
  virtual ~SimDevice() = default;
  virtual void Execute(Machine& machine, Exchange& exchange) = 0;
};

}  // namespace sim
