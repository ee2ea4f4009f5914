#include "host_services/host_services.hpp"

#include <gtest/gtest.h>

using namespace dravik::host;

TEST(HostServices, AMissingServiceIsAClearErrorNamingIt) {
  install_host_services({});
  try {
    isolation_policy();
    FAIL();
  } catch (const ServiceNotInstalledError& e) {
    EXPECT_STREQ(e.what(), "host service not installed: isolation policy");
  }
  EXPECT_THROW(shell_executor(), ServiceNotInstalledError);
  EXPECT_THROW(chat_protocol(), ServiceNotInstalledError);
  EXPECT_THROW(memory_limits_probe(), ServiceNotInstalledError);
  EXPECT_THROW(memory_notes_store(), ServiceNotInstalledError);
  EXPECT_THROW(hardware_probe(), ServiceNotInstalledError);
  EXPECT_THROW(compatible_api_clients(), ServiceNotInstalledError);
}

TEST(HostServices, InstalledServicesAreReturned) {
  struct Probe : HardwareProbe {
    bool is_jetson_label(const std::string& l) override { return l == "jetson"; }
  };
  HostServices s;
  s.hardware_probe = std::make_shared<Probe>();
  install_host_services(s);
  EXPECT_TRUE(hardware_probe().is_jetson_label("jetson"));
  install_host_services({});
}
