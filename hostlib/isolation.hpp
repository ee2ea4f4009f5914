// The isolation policy: which endpoints air-gapped mode allows, and the
// environment child programs get.
#pragma once

#include <optional>
#include <string>

#include "host_services/host_services.hpp"
#include "support/json.hpp"

namespace dravik::hostlib {

// Air-gapped mode allows only loopback endpoints (127.0.0.0/8, ::1,
// "localhost"), judged on the parsed URL's host, never on its text.
class LoopbackIsolationPolicy : public host::IsolationPolicy {
 public:
  explicit LoopbackIsolationPolicy(bool airgapped) : airgapped_(airgapped) {}
  // "airgapped" of the configuration map, as a truth value; or this
  // policy's own setting when the map does not say.
  bool airgapped_from_cfg(const Json& cfg) override;
  // Throws AirgapViolationError naming `label` for a refused, absent or
  // unparsable endpoint (air-gapped mode only).
  void assert_endpoint_allowed(const std::optional<std::string>& endpoint, const std::string& label) override;
  // Removes proxy variables (both cases) and sets the usual offline
  // switches of child programs.
  void apply_airgap_env(host::Environment& env, bool enabled) override;

 private:
  bool airgapped_;
};

// True when `url` parses and its host is a loopback address or "localhost".
bool is_loopback_url(const std::string& url);

}  // namespace dravik::hostlib
