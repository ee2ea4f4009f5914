#include "host.hpp"

#include <sys/utsname.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/config.hpp"

namespace dravik::app {

void LocalIsolationPolicy::assert_endpoint_allowed(const std::optional<std::string>& endpoint,
                                                   const std::string& label) {
  if (!airgapped_) return;
  const std::string url = endpoint.value_or("");
  for (const char* local : {"http://127.0.0.1", "http://localhost", "http://[::1]"})
    if (url.rfind(local, 0) == 0) return;
  throw host::AirgapViolationError("Air-gapped mode does not allow " + label + " at '" + url + "'.");
}

void LocalIsolationPolicy::apply_airgap_env(host::Environment& env, bool enabled) {
  if (!enabled) return;
  for (const char* proxy : {"HTTP_PROXY", "HTTPS_PROXY", "http_proxy", "https_proxy", "ALL_PROXY", "all_proxy"})
    env.erase(proxy);
}

bool LinuxHardwareProbe::is_jetson_label(const std::string& label) {
  return config::lower(label).find("jetson") != std::string::npos;
}

host::HardwareInfo LinuxHardwareProbe::probe() {
  host::HardwareInfo info;
  std::ifstream meminfo("/proc/meminfo");
  for (std::string line; std::getline(meminfo, line);) {
    std::istringstream in(line);
    std::string key;
    double kb = 0;
    if (in >> key >> kb && key == "MemTotal:") info.total_ram_gb = kb / 1024.0 / 1024.0;
  }
  std::ifstream model("/proc/device-tree/model");
  std::getline(model, info.label, '\0');
  if (info.label.empty()) {
    utsname u{};
    ::uname(&u);
    info.label = std::string("Linux ") + u.machine;
  }
  std::error_code ec;
  info.has_cuda = std::filesystem::exists("/usr/local/cuda", ec) || std::filesystem::exists("/dev/nvhost-gpu", ec);
  return info;
}

}  // namespace dravik::app
