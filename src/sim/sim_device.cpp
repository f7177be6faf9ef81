#include "sim/sim_device.h"

#include <sstream>
#include <stdexcept>

namespace sim {

CdbPattern::CdbPattern(const std::string& text) {
  std::istringstream in(text);
  std::string token;
  while (in >> token) {
    if (token == "??") {
      bytes_.push_back(-1);
    } else {
      std::size_t used = 0;
      const int value = std::stoi(token, &used, 16);
      if (used != token.size() || value < 0 || value > 0xFF)
        throw std::invalid_argument("bad CDB pattern byte: " + token);
      bytes_.push_back(value);
    }
  }
}

bool CdbPattern::Matches(const std::uint8_t* cdb, int cdbLength) const {
  if (static_cast<int>(bytes_.size()) > cdbLength) return false;
  for (std::size_t i = 0; i < bytes_.size(); ++i)
    if (bytes_[i] >= 0 && cdb[i] != bytes_[i]) return false;
  return true;
}

void CommandTable::Add(std::string name, CdbPattern pattern, CommandHandler handler) {
  entries_.push_back({std::move(name),
                      [pattern](const Exchange& e) { return pattern.Matches(e.cdb, e.cdbLength); },
                      std::move(handler)});
}

void CommandTable::Add(std::string name, std::function<bool(const Exchange&)> matches,
                       CommandHandler handler) {
  entries_.push_back({std::move(name), std::move(matches), std::move(handler)});
}

const std::string& CommandTable::Dispatch(Exchange& exchange) const {
  static const std::string none;
  for (const Entry& entry : entries_) {
    if (entry.matches(exchange)) {
      entry.handler(exchange);
      return entry.name;
    }
  }
  exchange.Reject();
  return none;
}

}  // namespace sim
