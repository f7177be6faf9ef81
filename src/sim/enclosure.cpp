#include "sim/enclosure.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {
void PutText(std::uint8_t* dst, const std::string& text, std::size_t width) {
  std::memset(dst, ' ', width);
  std::memcpy(dst, text.data(), std::min(width, text.size()));
}
}  // namespace

Enclosure::Enclosure(std::string vendor, std::string product, std::string revision) {
  inquiry_[0] = 0x00;  // direct-access block device
  inquiry_[1] = 0x80;  // removable
  inquiry_[2] = 0x04;
  inquiry_[3] = 0x02;
  inquiry_[4] = static_cast<std::uint8_t>(inquiry_.size() - 5);
  PutText(&inquiry_[8], vendor, 8);
  PutText(&inquiry_[16], product, 16);
  PutText(&inquiry_[32], revision, 4);

  commands_.Add("INQUIRY", CdbPattern("12"), [this](Exchange& e) {
    // No vital product data pages: a request for one (EVPD) is refused.
    if (!e.dataIn || (e.at(1) & 0x01) != 0) return e.Reject();
    const std::uint32_t n = std::min<std::uint32_t>(e.length, inquiry_.size());
    if (e.data != nullptr) std::memcpy(e.data, inquiry_.data(), n);
    e.transferred = n;
  });
  // Fixed-format sense data of the request before this one.
  commands_.Add("RequestSense", CdbPattern("03"), [this](Exchange& e) {
    if (!e.dataIn) return e.Reject();
    std::uint8_t sense[18] = {0x70, 0, senseKey_, 0, 0, 0, 0, 10, 0, 0, 0, 0, senseCode_};
    const std::uint32_t n = std::min<std::uint32_t>({e.length, e.at(4), sizeof sense});
    if (e.data != nullptr) std::memcpy(e.data, sense, n);
    e.transferred = n;
  });
  // The unit is always ready, its medium fixed: these only succeed.
  const auto good = [](Exchange& e) {
    if (e.length != 0) return e.Reject();
    e.transferred = 0;
  };
  commands_.Add("TestUnitReady", CdbPattern("00"), good);
  commands_.Add("PreventAllowMediumRemoval", CdbPattern("1E"), good);
  commands_.Add("StartStopUnit", CdbPattern("1B"), good);
  commands_.Add("EnterVendorMode", CdbPattern("FF 04 54 58 55"), [this](Exchange& e) {
    vendorMode_ = true;
    ++vendorModeEntries_;
    e.transferred = 0;
  });
  commands_.Add("LeaveVendorMode", CdbPattern("FF 04 54 58 AA"), [this](Exchange& e) {
    vendorMode_ = false;
    e.transferred = 0;
  });
}

void Enclosure::Execute(Machine& machine, Exchange& exchange) {
  machine_ = &machine;
  lastCommand_ = &commands_.Dispatch(exchange);
  exchange.command = *lastCommand_;
  // ILLEGAL REQUEST: an unknown operation, or a known one with a field it refuses.
  const bool rejected = exchange.status == kStatusCheckCondition;
  senseKey_ = rejected ? 0x05 : 0;
  senseCode_ = rejected ? (lastCommand_->empty() ? 0x20 : 0x24) : 0;
  machine_ = nullptr;
}

}  // namespace sim
