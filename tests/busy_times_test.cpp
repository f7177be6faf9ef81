// Every procedure on every part it can meet, with the parts at their data
// sheets' maximum busy times: whatever a procedure programs or erases on a
// part at typical times it must also manage when the part takes as long as
// its data sheet allows, since the host's waits have to cover that.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "run_window_fixture.h"
#include "sim/variant.h"

namespace {

enum class Run { Program, ProgramLarge, EraseOnly };

struct Route {
  const char* profile;
  const char* entry;  // the device entry Run starts on ("1" for a bridge behind a controller)
  Run run;
  bool everyPart;  // swap in every part of the catalogue, else the profile's own
  int flashType = -1;  // the parallel part chosen in the flash type list
  // The part starts unprotected: routes that clear no protection before they
  // erase (protected parts: SstProtectionTest).
  bool unprotected = false;
};

void PrintTo(const Route& r, std::ostream* os) { *os << r.profile << " entry " << r.entry; }

class BusyTimesTest : public testing_support::RunWindowFixture,
                      public ::testing::WithParamInterface<Route> {
 protected:
  // The console's result line for one run in a fresh machine.
  std::string Result(const std::string& part, sim::BusyTimes times) {
    const Route& r = GetParam();
    sim::Machine fresh;
    host::ScopedHost scope(fresh);
    sim::Variant v;
    v.profile = r.profile;
    v.flashPart = part;
    v.options.volumes = {{'E', 1}};
    v.options.busyTimes = times;
    v.options.powerUpProtection = !r.unprotected;
    sim::AttachVariant(fresh, v);
    const sim::EnclosureProfile profile = sim::VariantProfile(v);
    sim::ImageLayout layout;
    if (r.run == Run::ProgramLarge) layout.size = 0x20000;  // past the sector erases
    const bool behind = std::string(r.entry) != "0";
    const std::uint8_t type = behind ? profile.behind->companionType : profile.identifiedType;
    const std::string file = WriteFile(r.profile, sim::MakeMatchingImage({type, profile.subCode}, layout));
    std::vector<std::string> args{"--run", r.entry, "--image", file};
    if (r.run == Run::EraseOnly) args.insert(args.end(), {"--rd", "--erase-only"});
    if (r.flashType >= 0) args.insert(args.end(), {"--flash-type", std::to_string(r.flashType)});
    Console(args);
    const std::size_t at = output.find("result: ");
    return at == std::string::npos ? output : output.substr(at, output.find('\n', at) - at);
  }
};

std::string RouteName(const ::testing::TestParamInfo<Route>& info) {
  std::string name = info.param.profile;
  for (char& c : name)
    if (c == '-') c = '_';
  static const char* const kRuns[] = {"Program", "ProgramLarge", "EraseOnly"};
  return name + "_" + kRuns[static_cast<int>(info.param.run)];
}

TEST_P(BusyTimesTest, WhatWorksAtTypicalTimesWorksAtMaximumTimes) {
  std::vector<std::string> parts{""};
  if (GetParam().everyPart) {
    parts.clear();
    for (const sim::FlashPart& p : sim::FlashParts()) parts.push_back(p.name);
  }
  int succeeded = 0;
  for (const std::string& part : parts) {
    SCOPED_TRACE(part);
    const std::string typical = Result(part, sim::BusyTimes::Typical);
    if (typical.rfind("result: success", 0) != 0) continue;  // a part the route cannot take
    ++succeeded;
    EXPECT_EQ(typical, Result(part, sim::BusyTimes::Maximum));
  }
  EXPECT_GT(succeeded, 0) << "the route takes none of its parts";
}

INSTANTIATE_TEST_SUITE_P(
    Routes, BusyTimesTest,
    ::testing::Values(Route{"tx40775-pmc", "0", Run::Program, true},
                      Route{"tx40775-pmc", "0", Run::ProgramLarge, true},
                      Route{"tx40775-pmc", "0", Run::EraseOnly, true},
                      Route{"tx40779-e", "0", Run::ProgramLarge, true},
                      Route{"txr842", "0", Run::Program, true},
                      Route{"txr842", "0", Run::EraseOnly, true},
                      Route{"txr847-mxic32", "0", Run::Program, true},
                      Route{"txr847-mxic32", "0", Run::EraseOnly, true},
                      Route{"txr847-sst", "0", Run::Program, true},
                      Route{"txr847-sst", "0", Run::EraseOnly, true},
                      Route{"txv961-l5-sst", "0", Run::Program, false, -1, true},
                      Route{"txr846", "0", Run::Program, true},
                      Route{"txr846", "0", Run::EraseOnly, true},
                      Route{"txv929", "0", Run::Program, true},
                      Route{"txv929", "0", Run::EraseOnly, true},
                      Route{"txv929-bank0-damaged", "0", Run::Program, false},
                      Route{"txr843-1394", "0", Run::Program, true},
                      Route{"txr843-1394", "0", Run::EraseOnly, true},
                      Route{"txv929-txr847", "1", Run::Program, false},
                      Route{"txv929-txr847", "1", Run::EraseOnly, false},
                      Route{"txv961-txr842", "1", Run::Program, false},
                      Route{"txv929-txr842", "1", Run::EraseOnly, false},
                      Route{"tx40776-atmel", "0", Run::Program, false, 0},
                      Route{"tx40776-atmel", "0", Run::EraseOnly, false, 0},
                      Route{"tx40776-pmc", "0", Run::Program, false, 1},
                      Route{"tx40776-3e8a", "0", Run::Program, false, 2}),
    RouteName);

}  // namespace
