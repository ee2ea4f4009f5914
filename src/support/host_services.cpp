// The single installation point of the host's services, shared by every
// Dravik library loaded into the process.
#include "host_services/host_services.hpp"

namespace dravik::host {

namespace {

HostServices& installed() {
  static HostServices services;
  return services;
}

template <class T>
T& require(const std::shared_ptr<T>& p, const char* name) {
  if (!p) throw ServiceNotInstalledError(std::string("host service not installed: ") + name);
  return *p;
}

}  // namespace

void install_host_services(HostServices services) { installed() = std::move(services); }

IsolationPolicy& isolation_policy() { return require(installed().isolation_policy, "isolation policy"); }
ChatProtocol& chat_protocol() { return require(installed().chat_protocol, "chat protocol"); }
ShellExecutor& shell_executor() { return require(installed().shell_executor, "shell executor"); }
MemoryLimitsProbe& memory_limits_probe() { return require(installed().memory_limits_probe, "memory limits probe"); }
MemoryNotesStore& memory_notes_store() { return require(installed().memory_notes_store, "memory notes store"); }
HardwareProbe& hardware_probe() { return require(installed().hardware_probe, "hardware probe"); }
CompatibleApiClients& compatible_api_clients() {
  return require(installed().compatible_api_clients, "compatible API client");
}

std::function<void(const std::string&, const std::string&)> policy_redirect_check() {
  return [](const std::string& from, const std::string& to) {
    const auto& policy = installed().isolation_policy;
    if (policy) policy->assert_endpoint_allowed(to, "a redirect from " + from);
  };
}

}  // namespace dravik::host
