// The main window on the simulated machine with emulated enclosures from the
// profile catalogue, for pressing Run end to end.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/headless_view.h"
#include "app/main_window.h"
#include "program/settings.h"
#include "sim/profiles.h"
#include "sim/test_images.h"
#include "sim_fixture.h"

namespace testing_support {

class RunWindowFixture : public ::testing::Test, public SimFixtureBase {
 protected:
  void SetUp() override {
    saved_ = program::Transfer();
    program::Transfer() = program::TransferSettings{};
  }
  void TearDown() override {
    program::Transfer() = saved_;
    for (const std::string& f : files_) std::remove(f.c_str());
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

  // What identification finds for a chip, written into the window.
  void Identify(std::uint8_t type, std::int8_t subCode, int flashKind) {
    window->chip.chipType = type;
    window->chip.chipSubCode = subCode;
    window->chip.flashTypeCode = flashKind;
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

  int Count(const std::string& command) const {
    int n = 0;
    for (const auto& e : machine.transcript()) n += e.command == command ? 1 : 0;
    return n;
  }

  app::HeadlessView view{{[this] { return machine.NowMs(); },
                          [this](std::uint64_t ms) { machine.AdvanceMs(ms); }}};
  std::unique_ptr<app::MainWindow> window;

 private:
  program::TransferSettings saved_;
  std::vector<std::string> files_;
};

}  // namespace testing_support
