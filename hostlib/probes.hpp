// The memory and hardware probes.
#pragma once

#include <optional>
#include <string>

#include "host_services/host_services.hpp"

namespace dravik::hostlib {

// MemAvailable of /proc/meminfo (under `root`); nothing when unreadable.
class ProcMemoryProbe : public host::MemoryLimitsProbe {
 public:
  explicit ProcMemoryProbe(std::string root = "") : root_(std::move(root)) {}
  std::optional<host::MemorySnapshot> read_memory_snapshot() override;

 private:
  std::string root_;
};

// The board: total RAM, the device-tree model name, CUDA present.
class LinuxHardwareProbe : public host::HardwareProbe {
 public:
  bool is_jetson_label(const std::string& label) override;
  static host::HardwareInfo probe(const std::string& root = "");
};

}  // namespace dravik::hostlib
