// The memory notes store: project and global notes as Markdown.
#pragma once

#include <filesystem>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "host_services/host_services.hpp"

namespace dravik::hostlib {

// Notes as Markdown: scope "project" in <cwd>/.dravik/memory.md, scope
// "global" in <home>/memory.md. Actions: "add" (a bullet), "replace" (the
// whole notes), "remove" (the bullets containing the content), "show".
class MarkdownNotesStore : public host::MemoryNotesStore {
 public:
  explicit MarkdownNotesStore(std::filesystem::path home) : home_(std::move(home)) {}
  boost::asio::awaitable<std::string> update_persistent_memory(std::string cwd, std::string scope, std::string action,
                                                               std::string content) override;
  std::string update_now(const std::string& cwd, const std::string& scope, const std::string& action,
                         const std::string& content);

 private:
  std::filesystem::path home_;
};

}  // namespace dravik::hostlib
