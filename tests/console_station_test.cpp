// The production station (--wait --repeat) over a scripted sequence of
// enclosures attached and removed on the simulated machine.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/interrupts.h"
#include "host/worker.h"
#include "run_window_fixture.h"
#include "sim/demo.h"

namespace {

// Each wait of the station takes the next step of the script; the last one
// asks the station to stop, as Ctrl+C would.
class ScriptedMachine : public sim::Machine {
 public:
  bool WaitForDeviceChange(std::uint32_t) override {
    if (step < script.size()) {
      script[step++]();
    } else {
#ifdef _WIN32
      host::TakeConsoleEvent(0);  // CTRL_C_EVENT
#else
      std::raise(SIGINT);  // held: pending until the station takes it
#endif
    }
    return true;
  }
  std::vector<std::function<void()>> script;
  std::size_t step = 0;
};

using StationTest = testing_support::RunWindowFixture;

TEST_F(StationTest, UpdatesEachEnclosureAndRecordsWhatBecameOfIt) {
  ScriptedMachine m;
  host::ScopedHost scope(m);
  const sim::Image image = sim::MakeMatchingImage({1, 1});
  const std::string file = WriteFile("station", image);
  const std::string record = TempName("station-record");
  std::map<std::string, std::shared_ptr<sim::BridgeChip>> chips;
  std::map<std::string, std::string> paths;
  const auto attach = [&](const std::string& serial, const char* profile) {
    return [&, serial, profile] {
      sim::AttachOptions options;
      options.serial = serial;
      options.volumes = {{'E', 1}};
      chips[serial] = sim::AttachProfile(m, *sim::FindProfile(profile), options);
      paths[serial] = sim::ProfilePath(*sim::FindProfile(profile), serial);
    };
  };
  const auto detach = [&](const std::string& serial) {
    return [&, serial] { m.Detach(paths.at(serial)); };
  };
  std::vector<std::uint8_t> mismatchedBefore;
  m.script = {
      attach("good-1", "tx40775-pmc"),
      [&] {
        detach("good-1")();
        attach("other", "tx40776-atmel")();  // another chip than the station expects
        mismatchedBefore.resize(0x10000);
        chips["other"]->parallelFlash()->cells().Read(0, mismatchedBefore.data(), 0x10000);
      },
      [&] {
        detach("other")();
        attach("good-2", "tx40775-pmc")();
      },
      [&] {
        detach("good-2")();
        attach("pulled", "tx40775-pmc")();
        sim::CommandFault pull;  // pulled while the second block is programmed
        pull.kind = sim::CommandFault::Kind::Unplug;
        pull.path = sim::LowerPath(paths.at("pulled"));
        pull.pattern = sim::CdbPattern("FF 04 11 00 20 00");
        m.AddFault(pull);
      },
  };
  // The enclosure pulled while it was programmed needs attention.
  EXPECT_EQ(app::kExitAttention, Console({"--wait", "--repeat", "--record", record, "--run", "0",
                                          "--expect-chip", "TX40775", "--image", file},
                                         /*inTurn=*/true))
      << output;

  const std::vector<std::uint8_t> written = testing_support::ReadFile(record);
  std::istringstream lines(std::string(written.begin(), written.end()));
  // An update's line is written when its run ends; what the chip reports
  // afterwards follows on a line of its own.
  std::vector<nlohmann::json> records, settled;
  for (std::string line; std::getline(lines, line);) {
    nlohmann::json j = nlohmann::json::parse(line);
    (j.contains("settled") ? settled : records).push_back(std::move(j));
  }
  ASSERT_EQ(5u, records.size()) << output;
  ASSERT_FALSE(settled.empty());
  for (const nlohmann::json& s : settled)
    EXPECT_EQ("updated", records.at(s.at("settled").get<std::size_t>() - 1).at("outcome"));
  const char* outcomes[] = {"updated", "skipped", "updated", "failed"};
  const char* serials[] = {"good-1", "other", "good-2", "pulled"};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(serials[i]);
    EXPECT_EQ(i + 1, records[i].at("enclosure"));
    EXPECT_EQ(outcomes[i], records[i].at("outcome"));
    EXPECT_EQ(sim::LowerPath(paths.at(serials[i])), sim::LowerPath(records[i].at("path")));
  }
  EXPECT_EQ("2.05.01", records[0].at("versionBefore"));
  EXPECT_EQ("standard serial flash", records[0].at("procedure"));
  EXPECT_EQ("wrongChip", records[1].at("runOutcome"));
  EXPECT_EQ(nlohmann::json({{"updated", 2}, {"failed", 1}, {"skipped", 1}}),
            records[4].at("summary"));
  EXPECT_TRUE(records[4].at("endedBy").is_string());
  EXPECT_NE(std::string::npos, output.find("station: 2 updated, 1 failed, 1 skipped")) << output;

  // The good ones hold the image; the mismatched one was never written.
  for (const char* good : {"good-1", "good-2"}) {
    std::vector<std::uint8_t> flash(image.size());
    chips[good]->serialFlash()->cells().Read(0, flash.data(), flash.size());
    EXPECT_EQ(image, flash) << good;
  }
  std::vector<std::uint8_t> after(0x10000);
  chips["other"]->parallelFlash()->cells().Read(0, after.data(), after.size());
  EXPECT_EQ(mismatchedBefore, after);
  for (const sim::TranscriptEntry& e : m.transcript()) {
    if (e.path != sim::LowerPath(paths.at("other"))) continue;
    EXPECT_EQ(std::string::npos, e.command.find("Erase")) << e.command;
    EXPECT_EQ(std::string::npos, e.command.find("Program")) << e.command;
    EXPECT_EQ(std::string::npos, e.command.find("Write")) << e.command;
  }
}

std::vector<nlohmann::json> RecordLines(const std::string& file) {
  const std::vector<std::uint8_t> written = testing_support::ReadFile(file);
  std::istringstream lines(std::string(written.begin(), written.end()));
  std::vector<nlohmann::json> records;
  for (std::string line; std::getline(lines, line);) records.push_back(nlohmann::json::parse(line));
  return records;
}

// Four enclosures attached at once: each gets its own worker (where the
// platform has them), its own record line, and the summary counts them all.
TEST_F(StationTest, UpdatesEveryAttachedEnclosureAtOnce) {
  ScriptedMachine m;
  m.script = {[] {}};  // the console starts listening; then nothing more comes
  host::ScopedHost scope(m);
  const std::string file = WriteFile("station-all", sim::MakeMatchingImage({1, 1}));
  const std::string record = TempName("station-all-record");
  const std::pair<const char*, const char*> enclosures[] = {
      {"one", "tx40775-pmc"}, {"two", "tx40775-pmc"}, {"three", "tx40776-atmel"},
      {"four", "tx40775-pmc"}};
  std::map<std::string, std::string> profileAt;
  std::uint32_t disk = 0;
  for (const auto& [serial, profile] : enclosures) {
    sim::AttachOptions options;
    options.serial = serial;
    options.diskNumber = ++disk;
    options.volumes = {{static_cast<char>('D' + disk), disk}};
    sim::AttachProfile(m, *sim::FindProfile(profile), options);
    profileAt[sim::LowerPath(sim::ProfilePath(*sim::FindProfile(profile), serial))] = profile;
  }
  EXPECT_EQ(app::kExitSuccess, Console({"--wait", "--repeat", "--record", record, "--run", "0",
                                        "--expect-chip", "TX40775", "--image", file}))
      << output;

  std::vector<nlohmann::json> records = RecordLines(record);
  // Each updated enclosure's version afterwards follows on a line of its own.
  std::erase_if(records, [](const nlohmann::json& j) { return j.contains("settled"); });
  ASSERT_EQ(5u, records.size()) << output;
  std::set<int> numbers;
  for (int i = 0; i < 4; ++i) {
    const nlohmann::json& r = records[i];
    numbers.insert(r.at("enclosure").get<int>());
    const std::string profile = profileAt[sim::LowerPath(r.at("path"))];
    profileAt.erase(sim::LowerPath(r.at("path")));  // each enclosure once
    SCOPED_TRACE(profile);
    const bool wanted = profile == "tx40775-pmc";
    EXPECT_EQ(wanted ? "updated" : "skipped", r.at("outcome"));
    EXPECT_EQ(wanted ? "succeeded" : "wrongChip", r.at("runOutcome"));
    if (wanted) {
      EXPECT_EQ("2.05.01", r.at("versionBefore"));
    }
  }
  EXPECT_EQ((std::set<int>{1, 2, 3, 4}), numbers);
  EXPECT_TRUE(profileAt.empty());
  EXPECT_EQ(nlohmann::json({{"updated", 3}, {"failed", 0}, {"skipped", 1}}),
            records[4].at("summary"));
  EXPECT_NE(std::string::npos, output.find("station: 3 updated, 0 failed, 1 skipped")) << output;
  // Each worker's own lines reach the station's output, marked with its number.
  if (host::WorkersAvailable()) {
    for (int k = 1; k <= 4; ++k)
      EXPECT_NE(std::string::npos, output.find("[enclosure " + std::to_string(k) + "] "))
          << output;
  }
}

// Workers as Windows has them: the console program started again for each
// enclosure, rebuilding the session from the station's arguments (the
// simulated enclosures, which the station's own machine lists too).
TEST_F(StationTest, ProgramWorkersUpdateEveryEnclosureAtOnce) {
  ScriptedMachine m;
  m.script = {[] {}};
  sim::AttachDemoEnclosures(m);
  host::ScopedHost scope(m);
  const std::string file = WriteFile("station-program", sim::MakeMatchingImage({1, 1}));
  const std::string record = TempName("station-program-record");
  const std::string log = TempName("station-program-log");
  ASSERT_EQ(app::kExitSuccess,
            Console({"--simulate", "--wait", "--repeat", "--record", record, "--log", log, "--run",
                     "0", "--expect-chip", "TX40775", "--image", file},
                    false, TX_CONSOLE_PROGRAM))
      << output;

  std::vector<nlohmann::json> records = RecordLines(record);
  std::erase_if(records, [](const nlohmann::json& j) { return j.contains("settled"); });
  const std::size_t enclosures = records.size() - 1;
  ASSERT_GE(enclosures, 8u) << output;
  int updated = 0;
  for (std::size_t i = 0; i < enclosures; ++i) {
    if (records[i].at("outcome") != "updated") {
      EXPECT_EQ("wrongChip", records[i].at("runOutcome")) << records[i].dump();
      continue;
    }
    ++updated;
    EXPECT_EQ("TX40775 Series", records[i].at("chip"));
    EXPECT_EQ("2.05.01", records[i].at("versionBefore"));
  }
  EXPECT_EQ(1, updated) << output;
  EXPECT_EQ(nlohmann::json({{"updated", 1}, {"failed", 0}, {"skipped", enclosures - 1}}),
            records.back().at("summary"));

  // Every worker was under way before the station took the first result,
  // and each one's own lines reached the log under its number.
  const std::vector<std::uint8_t> logged = testing_support::ReadFile(log);
  const std::string text(logged.begin(), logged.end());
  const std::size_t firstResult = text.find("remove it and attach the next");
  ASSERT_NE(std::string::npos, firstResult) << text;
  for (std::size_t k = 1; k <= enclosures; ++k) {
    const std::string n = std::to_string(k);
    EXPECT_LT(text.find("enclosure " + n + ": worker started"), firstResult) << text;
    EXPECT_NE(std::string::npos, text.find(" e" + n + " ")) << text;
  }
  EXPECT_NE(std::string::npos, text.find("diag: NVRAM O.K.")) << text;
}

TEST(StationArgsTest, TheStationTakesOneTemplateRun) {
  const std::vector<std::vector<std::string>> bad = {
      {"--repeat", "--run", "0"},                             // no --wait
      {"--wait", "--repeat"},                                 // no run
      {"--wait", "--repeat", "--run", "0", "--run", "1"},
      {"--wait", "--repeat", "--device", "/dev/sdb"},
      {"--wait", "--repeat", "--json", "--run", "0"},
      {"--wait", "--record", "r.jsonl", "--run", "0"},        // a record without a station
  };
  for (const auto& args : bad) {
    app::ConsoleOptions o;
    std::string error;
    EXPECT_FALSE(app::ParseConsoleArgs(args, o, error)) << args.back();
  }
}

}  // namespace
