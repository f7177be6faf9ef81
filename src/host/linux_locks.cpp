// The Linux host's run locks: a run keeps its disk's node open under an
// exclusive lock from its first command to its last.
#include <sys/file.h>

#include <string>

#include "host/linux_host.h"

namespace host {

namespace {

// Opens id's node for a run and locks it; -1 with lastError when either fails.
int OpenRunNode(LinuxNodes& nodes, const DeviceId& id, const std::string& path, std::string& node,
                std::vector<int>& keys, std::uint32_t& lastError) {
  const int fd = nodes.OpenChecked(id, path, false, node, lastError);
  if (fd < 0) return -1;
  if (!nodes.LockDevice(fd, LOCK_EX, id, node, path, true, keys, lastError)) {
    nodes.sys().Close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

LinuxRunLocks::~LinuxRunLocks() {
  for (auto& [path, run] : runs_) {
    nodes_.Release(run.fd);
    nodes_.Release(run.keys);
  }
}

bool LinuxRunLocks::BeginRun(const char* path, std::uint32_t& lastError) {
  lastError = 0;
  DeviceId id;
  if (path == nullptr || !ParseDevicePath(path, id)) {
    lastError = kErrorFileNotFound;
    return false;
  }
  if (auto it = runs_.find(path); it != runs_.end()) {
    ++it->second.depth;
    return true;
  }
  Run run;
  run.block = id.name;
  run.fd = OpenRunNode(nodes_, id, path, run.node, run.keys, lastError);
  if (run.fd < 0) return false;
  run.depth = 1;
  run.traffic.opens = 1;
  runs_[path] = run;
  return true;
}

void LinuxRunLocks::EndRun(const char* path) {
  const auto it = path == nullptr ? runs_.end() : runs_.find(path);
  if (it == runs_.end() || --it->second.depth > 0) return;
  nodes_.Release(it->second.fd);
  nodes_.Release(it->second.keys);
  const std::string ended = it->first;
  const std::string block = it->second.block;
  const std::string line = "host: run on " + block + ": " +
                           std::to_string(it->second.traffic.commands) + " commands, " +
                           std::to_string(it->second.traffic.opens) + " opens\n";
  nodes_.trace().DebugOutput(line.c_str());
  runs_.erase(it);
  if (ended_) ended_(ended, block);
}

int LinuxRunLocks::RunDescriptor(const DeviceId& id, const std::string& path, std::string& node,
                                 std::uint32_t& lastError) {
  const auto it = runs_.find(path);
  if (it == runs_.end()) return -1;
  Run& run = it->second;
  if (run.fd < 0) {
    run.fd = OpenRunNode(nodes_, id, path, run.node, run.keys, lastError);
    if (run.fd < 0) return -1;
    ++run.traffic.opens;
  }
  node = run.node;
  return run.fd;
}

void LinuxRunLocks::CountCommand(const std::string& path) {
  if (const auto it = runs_.find(path); it != runs_.end()) ++it->second.traffic.commands;
}

void LinuxRunLocks::Lost(const std::string& path, int fd) {
  const auto it = runs_.find(path);
  if (it == runs_.end() || it->second.fd != fd) return;
  nodes_.Release(it->second.fd);
  nodes_.Release(it->second.keys);
}

}  // namespace host
