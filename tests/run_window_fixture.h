// The main window on the simulated machine with emulated enclosures from the
// profile catalogue, for pressing Run end to end.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/console.h"
#include "window/headless_view.h"
#include "window/main_window.h"
#include "procedure_fixture.h"
#include "sim/profiles.h"
#include "sim/test_images.h"
#include "sim_fixture.h"

namespace testing_support {

class RunWindowFixture : public ::testing::Test, public SimFixtureBase {
 protected:
  void TearDown() override {
    for (const std::string& f : files_) {
      std::remove(f.c_str());
      std::remove((f + ".json").c_str());  // a backup's sidecar
    }
  }

  std::shared_ptr<sim::BridgeChip> Attach(const std::string& profileName,
                                          std::uint32_t disk = 1) {
    const sim::EnclosureProfile* profile = sim::FindProfile(profileName);
    EXPECT_NE(nullptr, profile) << profileName;
    if (profile == nullptr) return nullptr;
    sim::AttachOptions options;
    options.diskNumber = disk;
    options.volumes = {{static_cast<char>('D' + disk), 1}};
    return sim::AttachProfile(machine, *profile, options);
  }

  void Start() { window = app::StartMainWindow(view); }

  // What identification finds for a chip, written into the window, every
  // fact read.
  void Identify(std::uint8_t type, std::int8_t subCode, int flashKind) {
    window->chip.chipType = type;
    window->chip.chipSubCode = subCode;
    window->chip.flashTypeCode = flashKind;
    window->chip.unreadFacts = 0;
  }

  std::string WriteFile(const std::string& stem, const std::vector<std::uint8_t>& bytes) {
    const std::string path = sim::TempImagePath(stem);
    EXPECT_TRUE(sim::WriteImageFile(path, bytes));
    files_.push_back(path);
    return path;
  }
  std::string TempName(const std::string& stem) {
    files_.push_back(sim::TempImagePath(stem));
    return files_.back();
  }

  int Count(const std::string& command) const { return CountSent(machine, command); }

  // The console program on these arguments; what it printed lands in output.
  // inTurn: a station updates its enclosures in this process, one after the
  // other, so their flash can be looked at afterwards.
  int Console(const std::vector<std::string>& args, bool inTurn = false,
              const std::optional<std::string>& workerProgram = std::nullopt) {
    app::ConsoleOptions options;
    std::string error;
    EXPECT_TRUE(app::ParseConsoleArgs(args, options, error)) << error;
    options.stationInTurn = inTurn;
    options.workerProgram = workerProgram;
    const std::string outName = TempName("console-out");
    std::FILE* out = std::fopen(outName.c_str(), "wb");
    EXPECT_NE(nullptr, out) << outName;
    if (out == nullptr) return -1;
    // An operator who confirmed an erase-only run; the question has a test
    // of its own on a terminal.
    options.yes = true;
    const int status = app::RunConsole(host::Current(), options, out, stderr, nullptr);
    std::fclose(out);
    const std::vector<std::uint8_t> printed = testing_support::ReadFile(outName);
    output.assign(printed.begin(), printed.end());
    return status;
  }
  std::string output;

  app::HeadlessView view{{[this] { return machine.NowMs(); },
                          [this](std::uint64_t ms) { machine.AdvanceMs(ms); }}};
  std::unique_ptr<app::MainWindow> window;

 private:
  std::vector<std::string> files_;
};

}  // namespace testing_support
