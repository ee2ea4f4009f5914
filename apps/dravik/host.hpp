// The few real host services the dravik executable needs.
#pragma once

#include <string>

#include "host_services/host_services.hpp"

namespace dravik::app {

// Refuses nothing unless air-gapped mode is asked for; then only loopback
// endpoints are allowed.
class LocalIsolationPolicy : public host::IsolationPolicy {
 public:
  explicit LocalIsolationPolicy(bool airgapped) : airgapped_(airgapped) {}
  bool airgapped_from_cfg(const Json&) override { return airgapped_; }
  void assert_endpoint_allowed(const std::optional<std::string>& endpoint, const std::string& label) override;
  void apply_airgap_env(host::Environment& env, bool enabled) override;

 private:
  bool airgapped_;
};

// Reads the board from /proc and /sys.
class LinuxHardwareProbe : public host::HardwareProbe {
 public:
  bool is_jetson_label(const std::string& label) override;
  static host::HardwareInfo probe();
};

}  // namespace dravik::app
