// The ATA side of an emulated storage controller of the TXV9xx family: its
// information block and the route to the serial flash of the bridge chip
// behind it, carried by ATA PASS-THROUGH(12) blocks with the vendor ATA
// command 0xB0 and a feature code (E0..EC) in the features byte. The route
// drives the bridge's SerialFlash through a FlashEngine and chip-select
// cycles, so erase, program, busy time and protection are those of the
// catalogue part. It installs into any enclosure's command table.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "sim/serial_flash.h"
#include "sim/sim_device.h"

namespace sim {

struct ControllerRouteConfig {
  // E0: F4 E7, bytes 6-7 the product identifier of the bridge behind the
  // controller (or the controller's own when none), version bytes 8..15.
  std::array<std::uint8_t, 16> info{};
  std::uint8_t flashTypeCode = 0;  // EC: byte 0, the serial-flash kind of the bridge flash
};

class ControllerRoute {
 public:
  // Without a flash (nothing behind the controller) only the information
  // block answers; the flash commands are rejected as unknown.
  ControllerRoute(ControllerRouteConfig config, std::shared_ptr<SerialFlash> behindFlash);
  // Its commands hold this route's address.
  ControllerRoute(const ControllerRoute&) = delete;
  ControllerRoute& operator=(const ControllerRoute&) = delete;

  // Adds the route's commands to a table; the route must outlive the table.
  void Install(CommandTable& table);
  // A controller reset: a pending answer and the engine settings the host
  // sent are lost.
  void Reset();

  const ControllerRouteConfig& config() const { return config_; }
  SerialFlash* flash() const { return flash_.get(); }
  // What the engine uses now (E4 sets opcodes and maker, E5 the page size).
  const EngineSettings& engine() const { return engine_.settings; }

 private:
  void InstallFlashRoute(CommandTable& table);
  void SpiCommand(Exchange& e);
  void SpiReadData(Exchange& e);

  ControllerRouteConfig config_;
  std::shared_ptr<SerialFlash> flash_;
  FlashEngine engine_;
  EngineSettings atPowerOn_;
  std::optional<std::vector<std::uint8_t>> spiAnswer_;  // the answer E3 hands over
};

}  // namespace sim
