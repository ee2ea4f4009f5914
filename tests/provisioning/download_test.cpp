// The model download against a local HTTP server: fresh, resumed, restarted,
// redirected, refused, cut short, and not a model at all.
#include <gtest/gtest.h>

#include <sys/file.h>

#include <set>

#include "provisioning/provisioning.hpp"
#include "provisioning/tiny_gguf.hpp"
#include "sidecar/sidecar_env.hpp"
#include "support/errors.hpp"

using namespace std::chrono_literals;
using namespace dravik;
using namespace dravik::testing;
namespace pv = dravik::provisioning;

namespace {

// Serves one file with optional Range support and a validator, and can be
// told to misbehave.
struct FileServer {
  std::string content;
  std::string etag = "\"v1\"";
  bool ranges = true;
  std::optional<int> status;                   // answer this status instead
  std::size_t cut_after = std::string::npos;   // close after this many body bytes
  std::optional<std::uint64_t> claimed_length; // Content-Length to announce
  std::optional<std::string> force_range;      // Content-Range of a 206 to send
  std::optional<std::string> answer_416;       // Content-Range of a 416 to send
  bool ignore_if_range = false;                 // honour Range even when the file changed
  bool no_length = false;                       // no Content-Length: the body ends at the close
  std::optional<std::string> resume_page;       // a 200 page answering every Range request
  std::vector<RawRequest> seen;

  asio::awaitable<void> handle(const RawRequest& r, Conn& c) {
    seen.push_back(r);
    if (r.path() == "/redirect") {
      co_await c.respond(302, "", "text/plain", "Location: /model.gguf\r\n");
      co_return;
    }
    if (r.path() == "/loop") {
      co_await c.respond(302, "", "text/plain", "Location: /loop\r\n");
      co_return;
    }
    if (resume_page && r.header("Range")) {
      co_await c.respond(200, *resume_page, "text/html");
      co_return;
    }
    if (status) {
      co_await c.respond(*status, "<html>nope</html>", "text/html");
      co_return;
    }
    if (answer_416) {
      co_await c.respond(416, "", "text/plain", "Content-Range: " + *answer_416 + "\r\n");
      co_return;
    }
    std::size_t start = 0;
    bool partial = false;
    auto range = r.header("Range");
    auto if_range = r.header("If-Range");
    if (ranges && range && (!if_range || *if_range == etag || ignore_if_range)) {
      start = std::stoul(range->substr(6));
      partial = true;
    }
    std::string body = content.substr(std::min(start, content.size()));
    std::string head = "HTTP/1.1 " + std::string(partial ? "206 Partial Content" : "200 OK") + "\r\n";
    head += "ETag: " + etag + "\r\n";
    if (!no_length) head += "Content-Length: " + std::to_string(claimed_length.value_or(body.size())) + "\r\n";
    if (partial)
      head += "Content-Range: " +
              force_range.value_or("bytes " + std::to_string(start) + "-" + std::to_string(content.size() - 1) + "/" +
                                   std::to_string(content.size())) +
              "\r\n";
    head += "Connection: close\r\n\r\n";
    co_await c.write(head);
    if (cut_after < body.size()) {
      co_await c.write(body.substr(0, cut_after));
      c.close();
      co_return;
    }
    co_await c.write(body);
  }
};

class Download : public ::testing::Test {
 protected:
  fs::path dir;
  asio::io_context io;
  FileServer files;
  std::unique_ptr<TestHttpServer> server;
  std::vector<std::string> logged, status;
  fs::path target;

  void SetUp() override {
    char tmpl[] = "/tmp/dravik-dl-XXXXXX";
    dir = ::mkdtemp(tmpl);
    target = dir / "models/model.gguf";
    files.content = tiny_gguf(75000);  // about 300 KB
    server = std::make_unique<TestHttpServer>(io.get_executor(),
                                              [this](const RawRequest& r, Conn& c) { return files.handle(r, c); });
    pv::detail::progress_interval = 0ms;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  Json setup(const std::string& path = "/model.gguf") {
    return {{"model_source", "direct"}, {"model_download_url", server->url(path)},
            {"model_download_path", target.string()}};
  }
  Json fetch(const Json& s) {
    return run_until_done(io, pv::ensure_direct_model(
                                  s, [this](const std::string& l) { logged.push_back(l); },
                                  [this](const std::string& t) { status.push_back(t); }, [] {}));
  }
  std::string error(const Json& s) {
    try {
      fetch(s);
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  }
  fs::path part() const { return target.string() + ".part"; }
};

}  // namespace

TEST_F(Download, AFreshDownloadBecomesTheModel) {
  Json r = fetch(setup());
  EXPECT_EQ(read_text(target), files.content);
  EXPECT_FALSE(fs::exists(part()));
  EXPECT_FALSE(fs::exists(part().string() + ".validator"));
  EXPECT_EQ(r["model"], target.string());
  EXPECT_EQ(r["llama_model"], target.string());
  EXPECT_EQ(r["setup_missing_model"], false);
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.front(), "[bold bright_white]Downloading model.gguf[/]");
  EXPECT_NE(status.back().find("100%"), std::string::npos) << status.back();
  // A second run finds the file and asks nothing.
  files.seen.clear();
  fetch(setup());
  EXPECT_TRUE(files.seen.empty());
}

TEST_F(Download, APartialFileIsResumedWithRangeAndIfRange) {
  files.cut_after = 100000;
  EXPECT_NE(error(setup()).find("run the set-up again to resume"), std::string::npos);
  EXPECT_EQ(fs::file_size(part()), 100000u);
  files.cut_after = std::string::npos;
  fetch(setup());
  EXPECT_EQ(read_text(target), files.content);
  const auto& last = files.seen.back();
  EXPECT_EQ(last.header("Range"), "bytes=100000-");
  EXPECT_EQ(last.header("If-Range"), "\"v1\"");
}

TEST_F(Download, AServerIgnoringRangeRestartsThePartialFile) {
  write_text(part(), files.content.substr(0, 5000));
  files.ranges = false;
  fetch(setup());
  EXPECT_EQ(read_text(target), files.content);  // not 5000 bytes + the whole file
}

TEST_F(Download, AChangedFileUpstreamStartsOver) {
  files.cut_after = 1000;
  error(setup());
  files.cut_after = std::string::npos;
  files.etag = "\"v2\"";
  files.content[files.content.size() - 100] = 'Z';
  fetch(setup());
  EXPECT_EQ(read_text(target), files.content);
}

TEST_F(Download, ARangeThatDoesNotContinueIsRetriedFromTheStart) {
  write_text(part(), files.content.substr(0, 5000));
  files.force_range = "bytes 0-99/" + std::to_string(files.content.size());
  fetch(setup());
  EXPECT_EQ(read_text(target), files.content);
  ASSERT_EQ(files.seen.size(), 2u);  // the bad 206, then the whole file
  EXPECT_FALSE(files.seen[1].header("Range"));
}

TEST_F(Download, ACompletePartialFileIsFinishedOn416) {
  write_text(part(), files.content);
  files.answer_416 = "bytes */" + std::to_string(files.content.size());
  fetch(setup());
  EXPECT_EQ(read_text(target), files.content);
}

TEST_F(Download, A416ForAnotherSizeStartsOverOnce) {
  write_text(part(), files.content + "extra bytes of an older upload");
  files.answer_416 = "bytes */" + std::to_string(files.content.size());
  EXPECT_NE(error(setup()).find("416"), std::string::npos);
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(Download, RedirectsAreFollowed) {
  fetch(setup("/redirect"));
  EXPECT_EQ(read_text(target), files.content);
}

TEST_F(Download, ErrorStatusesAreReported) {
  files.status = 404;
  EXPECT_EQ(error(setup()), "Model download failed with HTTP 404");
  files.status = 500;
  EXPECT_EQ(error(setup()), "Model download failed with HTTP 500");
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(Download, AShortBodyIsNeverTakenForTheModel) {
  files.claimed_length = files.content.size() + 1000;  // announces more than it sends
  EXPECT_NE(error(setup()).find("resume"), std::string::npos);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(fs::file_size(part()), files.content.size());
}

TEST_F(Download, SomethingThatIsNotAModelIsRemoved) {
  files.content = "<html><body>Please log in to the proxy</body></html>";
  EXPECT_NE(error(setup()).find("not a GGUF model"), std::string::npos);
  EXPECT_FALSE(fs::exists(part()));
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(Download, OnlyDirectSourcesWithUrlAndPathAreFetched) {
  Json local = {{"model_source", "local"}};
  EXPECT_EQ(fetch(local), local);
  EXPECT_EQ(fetch(Json::object()), Json::object());
  EXPECT_EQ(error({{"model_source", "direct"}, {"model_download_url", " "}, {"model_download_path", "x"}}),
            "Direct model provisioning is missing a download URL or target path.");
  EXPECT_EQ(error({{"model_source", "direct"}, {"model_download_url", "http://x"}}),
            "Direct model provisioning is missing a download URL or target path.");
}

TEST_F(Download, ATildeMeansTheHomeDirectory) {
  const char* old = std::getenv("HOME");
  std::string saved = old ? old : "";
  ::setenv("HOME", dir.c_str(), 1);
  Json s = setup();
  s["model_download_path"] = " ~/m/x.gguf ";
  Json r = fetch(s);
  ::setenv("HOME", saved.c_str(), 1);
  EXPECT_EQ(r["model"], (dir / "m/x.gguf").string());
  EXPECT_TRUE(fs::exists(dir / "m/x.gguf"));
}

TEST_F(Download, SetUpDownloadsFirstThenBuilds) {
  char tmpl[] = "/tmp/dravik-home-XXXXXX";
  fs::path home = ::mkdtemp(tmpl);
  pv::detail::set_home(home);
  write_text(pv::SIDECAR_BIN, "", true);  // a server exists: nothing to build
  std::string old_path = std::getenv("PATH");
  ::setenv("PATH", "/usr/bin:/bin", 1);
  int cleared = 0;
  Json r = run_until_done(io, pv::provision_setup_artifacts(setup(), {4, false, ""}, nullptr, nullptr,
                                                            [&] { ++cleared; }));
  ::setenv("PATH", old_path.c_str(), 1);
  EXPECT_TRUE(fs::exists(target));
  EXPECT_EQ(r["sidecar_path"], pv::SIDECAR_BIN.string());
  EXPECT_EQ(r["llama_model"], target.string());
  EXPECT_EQ(cleared, 1);
  EXPECT_THROW(run_until_done(io, pv::provision_setup_artifacts("x", {}, nullptr, nullptr, nullptr)), TypeError);
  fs::remove_all(home);
}

// Servers that misbehave: nothing they send destroys what was downloaded,
// and nothing but one whole model becomes the model.
TEST_F(Download, AnHtmlPageAnsweringAResumeLeavesThePartialFileAlone) {
  const std::string have = files.content.substr(0, 100000);
  write_text(part(), have);
  files.resume_page = "<html><body>Captive portal: please log in</body></html>";
  EXPECT_NE(error(setup()).find("not a GGUF model"), std::string::npos);
  EXPECT_EQ(read_text(part()), have);
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(Download, ARangeAnswerLongerThanAnnouncedIsRolledBack) {
  const std::string have = files.content.substr(0, 1000);
  write_text(part(), have);
  files.force_range = "bytes 1000-1000/1001";  // then sends the whole rest
  EXPECT_NE(error(setup()).find("more than"), std::string::npos);
  EXPECT_EQ(read_text(part()), have);
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(Download, ABodyCutShortWithoutALengthIsTruncatedAndKept) {
  files.no_length = true;
  files.cut_after = 200000;
  const std::string err = error(setup());
  EXPECT_NE(err.find("truncated: 200,000 of " + pv::thousands(files.content.size()) + " bytes"), std::string::npos)
      << err;
  EXPECT_EQ(fs::file_size(part()), 200000u);
  EXPECT_FALSE(fs::exists(target));
  // The next run resumes and finishes it.
  files.cut_after = std::string::npos;
  fetch(setup());
  EXPECT_EQ(read_text(target), files.content);
}

TEST_F(Download, AModelWithSomethingAppendedIsRefused) {
  files.content += "trailing bytes";
  EXPECT_NE(error(setup()).find("padded"), std::string::npos);
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(Download, ARangeOfAFileThatChangedStartsOver) {
  files.cut_after = 1000;
  error(setup());
  files.cut_after = std::string::npos;
  files.ignore_if_range = true;  // answers the range of the new file
  files.etag = "\"v2\"";
  files.content = tiny_gguf(60000);
  fetch(setup());
  EXPECT_EQ(read_text(target), files.content);
  EXPECT_FALSE(files.seen.back().header("Range"));
}

TEST_F(Download, ASecondSetUpDownloadingTheSameModelIsTurnedAway) {
  fs::create_directories(target.parent_path());
  const int fd = ::open((part().string() + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  EXPECT_NE(error(setup()).find("Another set-up is downloading model.gguf"), std::string::npos);
  EXPECT_TRUE(files.seen.empty());
  ::close(fd);
  fetch(setup());
  EXPECT_FALSE(fs::exists(part().string() + ".lock"));
}

TEST_F(Download, MessagesSayWhatHappened) {
  files.answer_416 = "bytes */10";
  EXPECT_NE(error(setup()).find("asked for no range"), std::string::npos);
  files.answer_416.reset();
  EXPECT_NE(error(setup("/loop")).find("too many redirects"), std::string::npos);
}

TEST_F(Download, EachTenthIsLoggedOnce) {
  pv::detail::progress_interval = 0ms;
  fetch(setup());
  std::set<std::string> unique(logged.begin(), logged.end());
  EXPECT_EQ(unique.size(), logged.size());
  EXPECT_NE(logged.back().find("100%"), std::string::npos);
}
