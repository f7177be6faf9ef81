// A test device that records every request and answers from a script of
// canned replies keyed by CDB pattern, and a fixture that attaches one.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "sim/sim_device.h"
#include "sim_fixture.h"

namespace testing_support {

// "FF 04 10" -> {0xFF, 0x04, 0x10}.
inline std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::istringstream in(text);
  std::string token;
  while (in >> token) bytes.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
  return bytes;
}

class ScriptedDevice : public sim::SimDevice {
 public:
  struct Request {
    std::vector<std::uint8_t> cdb;
    bool dataIn = true;
    std::uint32_t length = 0;
    std::vector<std::uint8_t> dataOut;
    bool Is(const std::string& pattern) const {
      return sim::CdbPattern(pattern).Matches(cdb.data(), static_cast<int>(cdb.size()));
    }
  };

  // Requests matching `pattern` get `reply` (the rest of the buffer stays
  // zero). times > 0: only that many, after which later rules answer.
  // transferred >= 0 reports a shorter transfer than asked for.
  ScriptedDevice& Reply(const std::string& pattern, std::vector<std::uint8_t> reply, int times = 0,
                        int transferred = -1) {
    rules_.push_back(Rule{sim::CdbPattern(pattern), std::move(reply), false, times > 0 ? times : -1,
                          transferred});
    return *this;
  }
  ScriptedDevice& Reject(const std::string& pattern, int times = 0) {
    rules_.push_back(Rule{sim::CdbPattern(pattern), {}, true, times > 0 ? times : -1, -1});
    return *this;
  }
  // Delivers the reply into the buffer and still ends with CHECK CONDITION.
  ScriptedDevice& ReplyThenReject(const std::string& pattern, std::vector<std::uint8_t> reply) {
    rules_.push_back(Rule{sim::CdbPattern(pattern), std::move(reply), true, -1, -1});
    return *this;
  }

  void Execute(sim::Machine&, sim::Exchange& e) override {
    Request r;
    r.cdb.assign(e.cdb, e.cdb + e.cdbLength);
    r.dataIn = e.dataIn;
    r.length = e.length;
    if (!e.dataIn && e.data != nullptr) r.dataOut.assign(e.data, e.data + e.length);
    requests.push_back(std::move(r));
    for (Rule& rule : rules_) {
      if (rule.remaining == 0 || !rule.pattern.Matches(e.cdb, e.cdbLength)) continue;
      if (rule.remaining > 0) --rule.remaining;
      // An empty reply has no bytes to copy (and its data() may be null).
      if (e.dataIn && e.data != nullptr && !rule.reply.empty())
        std::memcpy(e.data, rule.reply.data(), std::min<std::size_t>(rule.reply.size(), e.length));
      if (rule.reject) {
        e.Reject();
        return;
      }
      if (rule.transferred >= 0)
        e.transferred =
            std::min<std::uint32_t>(static_cast<std::uint32_t>(rule.transferred), e.length);
      e.command = "scripted";
      return;
    }
    if (rejectUnknown) e.Reject();
  }

  // The requests whose CDB matches the pattern.
  std::vector<Request> Matching(const std::string& pattern) const {
    std::vector<Request> out;
    for (const Request& r : requests)
      if (r.Is(pattern)) out.push_back(r);
    return out;
  }
  int Count(const std::string& pattern) const { return static_cast<int>(Matching(pattern).size()); }

  std::vector<Request> requests;
  bool rejectUnknown = false;  // otherwise unknown commands succeed with zero data

 private:
  struct Rule {
    sim::CdbPattern pattern;
    std::vector<std::uint8_t> reply;
    bool reject = false;
    int remaining = -1;
    int transferred = -1;
  };
  std::vector<Rule> rules_;
};

// A simulated machine with one scripted enclosure at `path`.
class ScriptedFixture : public SimFixtureBase {
 public:
  ScriptedFixture() : device(std::make_shared<ScriptedDevice>()) {
    sim::Attachment a;
    a.path = sim::UsbDiskPath("Tavrion", "TX40775", "S1");
    a.device = device;
    machine.Attach(a);
    path = a.path;
  }

  const char* p() const { return path.c_str(); }

  std::shared_ptr<ScriptedDevice> device;
  std::string path;
  std::string gone = "\\\\?\\usbstor#disk&ven_gone&prod_gone#0";
};

// What one request should look like on the wire.
struct ExpectedRequest {
  std::string cdb;  // all 12 bytes
  bool dataIn = true;
  std::uint32_t length = 0;  // the transfer length as sent
  std::uint32_t timeout = 10;
};

// Checks the machine's transcript against the expected requests, in order.
inline void ExpectWire(const sim::Machine& machine, const std::vector<ExpectedRequest>& want,
                       const std::string& label) {
  const auto& sent = machine.transcript();
  ASSERT_EQ(want.size(), sent.size()) << label;
  for (std::size_t i = 0; i < want.size(); ++i) {
    const auto& t = sent[i];
    EXPECT_EQ(Hex(want[i].cdb), t.cdb) << label << ", request " << i;
    EXPECT_EQ(12, t.request.cdbLength) << label << ", request " << i;
    EXPECT_EQ(want[i].dataIn ? 1 : 0, t.request.dataIn) << label << ", request " << i;
    EXPECT_EQ(want[i].length, t.request.dataTransferLength) << label << ", request " << i;
    EXPECT_EQ(want[i].timeout, t.request.timeOutValue) << label << ", request " << i;
  }
}

}  // namespace testing_support
