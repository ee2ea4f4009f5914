// The shared server's record: what a start reads from ~/.dravik/run. A
// record of another shape is ignored, identities name a process and its
// start, and sessions whose process is gone no longer count.
#include <gtest/gtest.h>

#include <unistd.h>

#include "shared_server.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/process/process.hpp"
#include "support/run.hpp"

using namespace dravik;
namespace fs = std::filesystem;

TEST(SharedServerRecord, ShapesIdentitiesAndLiveSessions) {
  const fs::path dir = fs::current_path() / ("record-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const hostlib::ServerRegistry registry(dir);
  const auto self = hostlib::process_id(::getpid());
  ASSERT_TRUE(self);
  EXPECT_TRUE(hostlib::still_running(*self));
  EXPECT_FALSE(hostlib::still_running({self->pid, self->start + 1}));  // a later process with our pid
  // A child that has ended (a zombie until reaped) is gone.
  boost::asio::io_context io;
  proc::SpawnOptions o;
  o.argv = {"true"};
  auto child = proc::Child::spawn(io.get_executor(), o);
  const auto child_id = hostlib::process_id(child.pid());
  for (int i = 0; i < 200 && hostlib::process_id(child.pid()); ++i) ::usleep(10000);
  EXPECT_FALSE(hostlib::process_id(child.pid()));

  for (const char* text : {"", "not json", "[]", R"({"version": "1"})", R"({"version": 2, "server": {}})",
                           R"({"version": 1, "server": {"pid": 1, "start": -4}, "host": "h", "port": 1,
                               "model": "m", "context": 1})"}) {
    dravik::testing::write_text(dir / "server.json", text);
    EXPECT_FALSE(registry.read()) << text;
  }
  hostlib::ServerRecord r;
  r.server = *self;
  r.port = 8080;
  r.model = "/models/m.gguf";
  r.context = 4096;
  r.sessions = {{*self, "live", "/p"}};
  if (child_id) r.sessions.push_back({*child_id, "gone", "/q"});
  const auto lock = async::run_until_done(io, registry.lock(std::chrono::seconds(1), std::function<void()>()));
  ASSERT_TRUE(lock);
  registry.write(r, *lock);
  const auto back = registry.read();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->server, *self);
  EXPECT_EQ(back->sessions.size(), r.sessions.size());
  ASSERT_EQ(back->live_sessions().size(), 1u);
  EXPECT_EQ(back->live_sessions()[0].token, "live");
  // Held: a second taker waits, then gives up.
  EXPECT_FALSE(async::run_until_done(io, registry.lock(std::chrono::milliseconds(200), std::function<void()>())));
  fs::remove_all(dir);
}
