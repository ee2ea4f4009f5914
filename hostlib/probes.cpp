// Memory and hardware, read from /proc, /sys and the device tree.
#include <sys/utsname.h>

#include <sstream>

#include "dravik_host.hpp"
#include "support/config.hpp"
#include "support/files.hpp"

namespace dravik::hostlib {

std::optional<host::MemorySnapshot> ProcMemoryProbe::read_memory_snapshot() {
  auto text = files::try_read_file(root_ + "/proc/meminfo");
  if (!text) return std::nullopt;
  std::istringstream in(*text);
  for (std::string key, line; std::getline(in, line);) {
    std::istringstream fields(line);
    double kb = 0;
    if (fields >> key >> kb && key == "MemAvailable:") return host::MemorySnapshot{kb / 1024.0};
  }
  return host::MemorySnapshot{};
}

bool LinuxHardwareProbe::is_jetson_label(const std::string& label) {
  return config::lower(label).find("jetson") != std::string::npos;
}

host::HardwareInfo LinuxHardwareProbe::probe(const std::string& root) {
  host::HardwareInfo info;
  std::istringstream meminfo(files::try_read_file(root + "/proc/meminfo").value_or(""));
  for (std::string line; std::getline(meminfo, line);) {
    std::istringstream in(line);
    std::string key;
    double kb = 0;
    if (in >> key >> kb && key == "MemTotal:") info.total_ram_gb = kb / 1024.0 / 1024.0;
  }
  const std::string model = files::try_read_file(root + "/proc/device-tree/model").value_or("");
  info.label = config::trim(model.substr(0, model.find('\0')));
  if (info.label.empty()) {
    utsname u{};
    ::uname(&u);
    info.label = std::string("Linux ") + u.machine;
  }
  std::error_code ec;
  info.has_cuda = std::filesystem::exists(root + "/usr/local/cuda", ec) ||
                  std::filesystem::exists(root + "/dev/nvhost-gpu", ec);
  return info;
}

}  // namespace dravik::hostlib
