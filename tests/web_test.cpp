// The search page and its API, served by the real tessary-server --http over an embedded store
// filled by the store's writer, checked over HTTP and in a real headless Chromium.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <nlohmann/json.hpp>

#include "tests/harness.h"
#include "tests/search_fixture.h"
#include "tests/server_harness.h"


namespace {

using nlohmann::json;

const std::string kDigestFox = "0123456789abcdef0123456789abcdef";
const std::string kScriptName = "<svg onload=window.__pwned=1>\xe2\x80\xaetxt.exe";
const std::string kImgName = "\"><img src=x onerror=window.__pwned=6>.txt";
const std::string kHostileContent =
    "hostile <script>window.__pwned=2</script> \"><img src=x onerror=\"window.__pwned=3\"> "
    "<a href=\"javascript:window.__pwned=4\">click</a> javascript:window.__pwned=5 \xe2\x80\xae" "desrever";

std::vector<harness::StoredRecord> web_records() {
  std::vector<harness::StoredRecord> out;
  const auto add = [&](const std::string& path, const std::string& mtime, std::optional<std::string> md5,
                       const std::string& content) {
    harness::StoredRecord r;
    r.path = path;
    r.name = path.substr(path.rfind('/') + 1);
    r.atime = r.ctime = "2025-01-01 00:00:00";
    r.mtime = mtime;
    r.size = static_cast<long long>(content.size());
    r.md5 = std::move(md5);
    r.stamp = "2025-02-02 02:02:02.000001";
    r.content = content;
    out.push_back(r);
  };
  for (int i = 0; i < 25; ++i) {
    char mtime[32];
    std::snprintf(mtime, sizeof mtime, "2024-03-%02d 10:00:00", i + 1);
    add("/web/page/f" + std::to_string(100 + i) + ".txt", mtime, std::nullopt,
        "common words in file number " + std::to_string(100 + i));
  }
  add("/web/fox.txt", "2024-06-01 00:00:00", kDigestFox, "the quick brown fox");
  add("/web/copy/fox.txt", "2024-06-02 00:00:00", kDigestFox, "the quick brown fox");
  add("/web/h/" + kScriptName, "2024-07-01 00:00:00", "cccccccccccccccccccccccccccccccc", kHostileContent);
  add("/web/h/" + kImgName, "2024-07-02 00:00:00", std::nullopt, "hostile " + std::string(200000, 'w') + " end");
  return out;
}

// A server with the page on a free port over a store holding web_records().
class WebServer {
 public:
  explicit WebServer(const std::vector<std::string>& extra = {}) {
    store_ = dir_.file("index.db");
    EXPECT_EQ(harness::fill_store(store_, web_records(), 2, "2025-03-03T03:03:03"), "");
    std::vector<std::string> args = {"--http", "127.0.0.1:0"};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<harness::ServerProcess>(store_, args);
    harness::wait_until(
        [&] {
          const std::string log = server_->log();
          const std::size_t at = log.find("search page on http://127.0.0.1:");
          if (at != std::string::npos) port_ = std::atoi(log.c_str() + at + 32);
          return port_ > 0;
        },
        std::chrono::seconds(20));
  }
  int port() const { return port_; }
  const std::string& store() const { return store_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  harness::TempDir dir_;
  std::string store_;
  std::unique_ptr<harness::ServerProcess> server_;
  int port_ = 0;
};

httplib::Result get(int port, const std::string& target) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(30);
  return client.Get(target.c_str());
}

// tessary-search --json on the same store, as the API's body would hold it (the total is the
// number of lines without --limit and --offset).
std::string command_body(const std::string& store, std::vector<std::string> args) {
  std::vector<std::string> all = {TESSARY_SEARCH_BINARY, "--store", store, "--json", "--limit", "0"};
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--limit" || args[i] == "--offset") {
      ++i;
    } else {
      all.push_back(args[i]);
    }
  }
  const harness::ProcessResult every = harness::run_process(all, {}, 60);
  std::size_t total = 0;
  for (char c : every.out) total += c == '\n';
  std::vector<std::string> page = {TESSARY_SEARCH_BINARY, "--store", store, "--json"};
  page.insert(page.end(), args.begin(), args.end());
  std::string lines = harness::run_process(page, {}, 60).out;
  std::string results;
  for (std::size_t start = 0, nl; (nl = lines.find('\n', start)) != std::string::npos; start = nl + 1) {
    if (!results.empty()) results += ",";
    results += lines.substr(start, nl - start);
  }
  return "{\"total\":" + std::to_string(total) + ",\"results\":[" + results + "]}";
}

TEST(WebApi, AnswersEqualTheCommand) {
  WebServer server;
  ASSERT_GT(server.port(), 0);
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"/api/search?q=common", {"common"}},
      {"/api/search?q=common&limit=5&offset=20", {"common", "--limit", "5", "--offset", "20"}},
      {"/api/search?q=%22quick%20brown%22&content=1", {"\"quick brown\"", "--content"}},
      {"/api/search?digest=" + kDigestFox, {"--digest", kDigestFox}},
      {"/api/search?duplicates=1", {"--duplicates"}},
      {"/api/search?q=hostile", {"hostile"}},
      {"/api/search?path=/web/page/f11&min_size=30&after=2024-03-05&before=2024-03-15",
       {"--path", "/web/page/f11", "--min-size", "30", "--after", "2024-03-05", "--before", "2024-03-15"}},
      {"/api/search?name=*.TXT&limit=0", {"--name", "*.TXT", "--limit", "0"}},
      {"/api/search?q=nothing_here", {"nothing_here"}},
  };
  for (const auto& [target, args] : cases) {
    const auto res = get(server.port(), target);
    ASSERT_TRUE(res) << target;
    EXPECT_EQ(res->status, 200) << target;
    EXPECT_EQ(res->body, command_body(server.store(), args)) << target;
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json; charset=utf-8");
  }
  const auto stats = get(server.port(), "/api/stats");
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->body, "{\"records\":29,\"rejected\":2,\"last_received\":\"2025-03-03T03:03:03\"}");
}

TEST(WebApi, BadRequestsAndSafetyHeaders) {
  WebServer server;
  ASSERT_GT(server.port(), 0);
  for (const char* target : {"/api/search?limit=-5", "/api/search?limit=abc", "/api/search?offset=-1",
                             "/api/search?min_size=big", "/api/search?after=2023-02-30", "/api/search?digest=xyz",
                             "/api/search?bogus=1", "/api/search?limit=1&limit=2", "/api/search?duplicates=maybe"}) {
    const auto res = get(server.port(), target);
    ASSERT_TRUE(res) << target;
    EXPECT_EQ(res->status, 400) << target;
    const json body = json::parse(res->body);
    EXPECT_TRUE(body.contains("error") && body["error"].is_string() && !body["error"].get<std::string>().empty())
        << target << " " << res->body;
  }
  EXPECT_EQ(json::parse(get(server.port(), "/api/search?limit=-5")->body)["error"],
            "limit: not a non-negative number: -5");
  EXPECT_EQ(get(server.port(), "/api/nothing")->status, 404);
  httplib::Client client("127.0.0.1", server.port());
  const auto post = client.Post("/api/search", "q=x", "application/x-www-form-urlencoded");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 405);

  // The page: its own files only, a policy without inline script, well under 100 KB.
  std::size_t weight = 0;
  for (const char* file : {"/", "/app.js", "/style.css", "/favicon.svg"}) {
    const auto res = get(server.port(), file);
    ASSERT_TRUE(res) << file;
    EXPECT_EQ(res->status, 200) << file;
    weight += res->body.size();
    const std::string policy = res->get_header_value("Content-Security-Policy");
    EXPECT_NE(policy.find("script-src 'self'"), std::string::npos);
    EXPECT_EQ(policy.find("unsafe"), std::string::npos);
    EXPECT_EQ(res->get_header_value("X-Content-Type-Options"), "nosniff");
  }
  EXPECT_LT(weight, 100u * 1024u);
  const std::string page = get(server.port(), "/")->body;
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_EQ(page.find("http"), std::string::npos) << "the page fetches nothing from elsewhere";
}

TEST(WebApi, AllowAppliesToThePage) {
  WebServer server({"--allow", "10.0.0.0/8"});
  ASSERT_GT(server.port(), 0);
  for (const char* target : {"/", "/api/search?q=fox", "/api/stats"}) {
    const auto res = get(server.port(), target);
    ASSERT_TRUE(res) << target;
    EXPECT_EQ(res->status, 403) << target;
    EXPECT_EQ(res->body.find("fox"), std::string::npos);
  }
}

constexpr const char* kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A WebDriver session in a headless Chromium started by chromedriver (own process group).
class Browser {
 public:
  Browser() {
    const std::string log = dir_.file("chromedriver.log");
    std::string error;
    pid_ = harness::spawn_logged({"/usr/bin/chromedriver", "--port=0"}, log, /*stdout_to_log=*/true,
                                 /*own_group=*/true, &error);
    if (pid_ < 0) return;
    harness::wait_until(
        [&] {
          const std::string text = harness::read_file(log);
          const std::size_t at = text.find("started successfully on port ");
          if (at != std::string::npos) port_ = std::atoi(text.c_str() + at + 29);
          return port_ > 0;
        },
        std::chrono::seconds(20));
    if (port_ == 0) return;
    const json caps = {
        {"capabilities",
         {{"alwaysMatch",
           {{"browserName", "chrome"},
            {"goog:loggingPrefs", {{"browser", "ALL"}}},
            {"goog:chromeOptions",
             {{"binary", "/usr/bin/chromium"},
              {"args",
               {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-dev-shm-usage", "--window-size=1200,900", "--user-data-dir=" + dir_.file("profile")}}}}}}}}};
    const json answer = call("POST", "/session", caps);
    session_ = answer["value"].value("sessionId", "");
  }

  ~Browser() {
    if (!session_.empty()) call("DELETE", "/session/" + session_, nullptr);
    if (pid_ > 0) {
      kill(-pid_, SIGTERM);
      int status;
      for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i) usleep(50000);
      kill(-pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }

  bool ok() const { return !session_.empty(); }

  json call(const std::string& method, const std::string& path, const json& body) {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(60);
    httplib::Result res = method == "GET"      ? client.Get(path.c_str())
                          : method == "DELETE" ? client.Delete(path.c_str())
                                               : client.Post(path.c_str(), body.dump(), "application/json");
    if (!res) return json{{"value", {{"error", "no answer from chromedriver"}}}};
    return json::parse(res->body, nullptr, /*allow_exceptions=*/false);
  }
  json session(const std::string& method, const std::string& path, const json& body = json::object()) {
    return call(method, "/session/" + session_ + path, body)["value"];
  }
  void go(const std::string& url) { session("POST", "/url", {{"url", url}}); }
  json script(const std::string& code) { return session("POST", "/execute/sync", {{"script", code}, {"args", json::array()}}); }
  std::string element(const std::string& css) {
    const json v = session("POST", "/element", {{"using", "css selector"}, {"value", css}});
    return v.is_object() && !v.empty() ? v.begin().value().get<std::string>() : "";
  }
  void type(const std::string& css, const std::string& text) {
    const std::string id = element(css);
    session("POST", "/element/" + id + "/clear");
    session("POST", "/element/" + id + "/value", {{"text", text}});
  }
  void click(const std::string& css) { session("POST", "/element/" + element(css) + "/click"); }
  // Waits until the page has shown an answer newer than `after` (document.body.dataset.loaded).
  bool wait_loaded(const std::string& after) {
    return harness::wait_until(
        [&] {
          const json v = script("return document.body.dataset.loaded || '';");
          return v.is_string() && !v.get<std::string>().empty() && v.get<std::string>() != after;
        },
        std::chrono::seconds(20));
  }
  std::string loaded() {
    const json v = script("return document.body.dataset.loaded || '';");
    return v.is_string() ? v.get<std::string>() : "";
  }
  void screenshot(const std::string& name) {
    const json v = session("GET", "/screenshot");
    if (!v.is_string()) return;
    std::string png;
    unsigned bits = 0;
    int count = 0;
    for (char c : v.get<std::string>()) {
      const char* at = std::strchr(kBase64, c);
      if (c == '=' || c == '\0' || at == nullptr) continue;
      bits = (bits << 6) | static_cast<unsigned>(at - kBase64);
      if ((count += 6) >= 8) png.push_back(static_cast<char>((bits >> (count -= 8)) & 0xFF));
    }
    const std::string dir = TESSARY_TEST_OUTPUT_DIR;
    harness::run_process({"mkdir", "-p", dir});
    harness::write_file(dir + "/" + name, png);
  }
  // Console messages of level SEVERE since the last call.
  std::vector<std::string> console_errors() {
    std::vector<std::string> out;
    const json v = session("POST", "/se/log", {{"type", "browser"}});
    if (!v.is_array()) return {"cannot read the console: " + v.dump()};
    for (const json& entry : v) {
      if (entry.value("level", "") == "SEVERE") out.push_back(entry.value("message", ""));
    }
    return out;
  }

 private:
  harness::TempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  std::string session_;
};

// What the result list shows: per result its name, path and marked words.
constexpr const char* kResults =
    "return [...document.querySelectorAll('#results li')].map(li => ({"
    "name: li.querySelector('.name').textContent, path: li.querySelector('.path').textContent,"
    "marks: [...li.querySelectorAll('mark')].map(m => m.textContent)}));";

TEST(WebPage, SearchMarkPageAndDuplicatesInChromium) {
  WebServer server;
  ASSERT_GT(server.port(), 0);
  Browser browser;
  ASSERT_TRUE(browser.ok()) << "chromedriver or chromium did not start";
  browser.go(server.base() + "/");
  ASSERT_TRUE(browser.wait_loaded(""));
  EXPECT_TRUE(harness::wait_until(
      [&] { return browser.script("return document.getElementById('status').textContent;") ==
                   "29 records stored \u00b7 last received 2025-03-03 03:03:03 \u00b7 2 rejected"; },
      std::chrono::seconds(10)));

  // Type a query: both copies of the fox, newest first, with the words marked.
  std::string seen = browser.loaded();
  browser.type("#q", "quick brown");
  browser.click("#go");
  ASSERT_TRUE(browser.wait_loaded(seen));
  json results = browser.script(kResults);
  ASSERT_EQ(results.size(), 2u) << results.dump();
  EXPECT_EQ(results[0]["path"], "/web/copy/fox.txt");
  EXPECT_EQ(results[1]["path"], "/web/fox.txt");
  EXPECT_EQ(results[0]["marks"], json::array({"quick", "brown"}));
  browser.screenshot("search-page.png");

  // The duplicates of a result.
  seen = browser.loaded();
  browser.click("#results li:nth-child(2) a.same-digest");
  ASSERT_TRUE(browser.wait_loaded(seen));
  results = browser.script(kResults);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(browser.script("return document.getElementById('digest').textContent;"), kDigestFox);
  EXPECT_EQ(browser.script("return document.getElementById('digest-note').hidden;"), false);

  // Page forward through 25 results.
  seen = browser.loaded();
  browser.type("#q", "common");
  browser.click("#go");
  ASSERT_TRUE(browser.wait_loaded(seen));
  EXPECT_EQ(browser.script(kResults).size(), 20u);
  EXPECT_EQ(browser.script("return document.getElementById('summary').textContent;"), "1\u201320 of 25 files");
  seen = browser.loaded();
  browser.click("#next");
  ASSERT_TRUE(browser.wait_loaded(seen));
  results = browser.script(kResults);
  ASSERT_EQ(results.size(), 5u);
  EXPECT_EQ(results[4]["path"], "/web/page/f100.txt");
  EXPECT_EQ(browser.script("return document.getElementById('summary').textContent;"), "21\u201325 of 25 files");
  EXPECT_EQ(browser.script("return document.getElementById('next').disabled;"), true);
  EXPECT_EQ(browser.console_errors(), std::vector<std::string>());
}

TEST(WebPage, HostileRecordsStayText) {
  WebServer server;
  ASSERT_GT(server.port(), 0);
  Browser browser;
  ASSERT_TRUE(browser.ok()) << "chromedriver or chromium did not start";
  browser.go(server.base() + "/?q=hostile");
  ASSERT_TRUE(browser.wait_loaded(""));
  const json results = browser.script(kResults);
  ASSERT_EQ(results.size(), 2u) << results.dump();
  EXPECT_EQ(results[0]["name"], kImgName);
  EXPECT_EQ(results[1]["name"], kScriptName);
  EXPECT_EQ(results[1]["path"], "/web/h/" + kScriptName);
  // The snippet shows the markup as text, the hit marked.
  const json snippet = browser.script("return document.querySelectorAll('#results .snippet')[1].textContent;");
  EXPECT_EQ(snippet, "hostile <script>window.__pwned=2</script> \"><img src=x onerror=\"window.__pwned=3\"> "
                     "<a href=\"javascript:window.__pwned=4\">click</a> javascript:window.__pwned=5\xe2\x80\xa6");
  // Nothing ran, nothing became markup: no marker, no image, no script, links only to digests.
  EXPECT_EQ(browser.script("return typeof window.__pwned;"), "undefined");
  EXPECT_EQ(browser.script("return document.querySelectorAll('#results img, #results script, #results iframe').length;"), 0);
  EXPECT_EQ(browser.script("return document.scripts.length;"), 1);
  EXPECT_EQ(browser.script("return [...document.querySelectorAll('#results a')].every(a => a.getAttribute('href').startsWith('?digest='));"),
            true);
  // The very long line stays inside the page's width.
  EXPECT_EQ(browser.script("return document.documentElement.scrollWidth <= window.innerWidth + 1;"), true);
  browser.screenshot("hostile-records.png");
  EXPECT_EQ(browser.script("return typeof window.__pwned;"), "undefined");
  EXPECT_EQ(browser.console_errors(), std::vector<std::string>());
}

}  // namespace
