// Air-gapped mode: only endpoints on this machine.
#include <boost/url/parse.hpp>
#include <boost/url/url_view.hpp>

#include <cctype>

#include "dravik_host.hpp"
#include "support/config.hpp"

namespace dravik::hostlib {

namespace {

// Boost.URL 1.81 reads "http://127.0.0.1.evil.example" as host 127.0.0.1
// with the path ".evil.example"; after an authority a path must be empty or
// start with "/", so such a parse is refused rather than trusted.
bool well_formed(const boost::urls::url_view& u) {
  const auto path = u.encoded_path();
  return u.has_authority() && (path.empty() || path.front() == '/');
}

}  // namespace

bool is_loopback_url(const std::string& url) {
  auto parsed = boost::urls::parse_uri(url);
  if (!parsed || !well_formed(*parsed)) return false;
  const auto& u = *parsed;
  switch (u.host_type()) {
    case boost::urls::host_type::ipv4: return u.host_ipv4_address().to_bytes()[0] == 127;
    case boost::urls::host_type::ipv6: return u.host_ipv6_address().is_loopback();
    case boost::urls::host_type::name: {
      const auto host = u.encoded_host();
      static constexpr std::string_view kLocal = "localhost";
      if (host.size() != kLocal.size()) return false;
      for (std::size_t i = 0; i < kLocal.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(host[i])) != kLocal[i]) return false;
      return true;
    }
    default: return false;
  }
}

bool LoopbackIsolationPolicy::airgapped_from_cfg(const Json& cfg) {
  if (const Json* v = config::find(cfg, "airgapped")) return config::truthy(*v);
  return airgapped_;
}

void LoopbackIsolationPolicy::assert_endpoint_allowed(const std::optional<std::string>& endpoint,
                                                      const std::string& label) {
  if (!airgapped_) return;
  if (!endpoint || config::trim(*endpoint).empty())
    throw host::AirgapViolationError("Air-gapped mode: " + label + " has no endpoint to check; refused.");
  const std::string url = config::trim(*endpoint);
  auto parsed = boost::urls::parse_uri(url);
  if (!parsed || !well_formed(*parsed))
    throw host::AirgapViolationError("Air-gapped mode: the endpoint of " + label + " is not a valid URL; refused.");
  if (!is_loopback_url(url))
    throw host::AirgapViolationError("Air-gapped mode allows only endpoints on this machine; " + label + " at '" +
                                     url + "' is refused.");
}

void LoopbackIsolationPolicy::apply_airgap_env(host::Environment& env, bool enabled) {
  if (!enabled) return;
  static const char* const kProxies[] = {"HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "FTP_PROXY", "NO_PROXY",
                                         "http_proxy", "https_proxy", "all_proxy", "ftp_proxy", "no_proxy"};
  for (const char* proxy : kProxies) env.erase(proxy);
  // What common tools read to stay offline.
  for (const char* offline : {"HF_HUB_OFFLINE", "TRANSFORMERS_OFFLINE", "HF_DATASETS_OFFLINE", "DO_NOT_TRACK"})
    env.insert_or_assign(offline, std::string(1, '1'));
}

}  // namespace dravik::hostlib
