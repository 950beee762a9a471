#include "tests/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <dirent.h>

#include <algorithm>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <taglib/fileref.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>

#include "driver/path_split.h"
#include "record/record.h"

extern char** environ;

namespace harness {

TempDir::TempDir() {
  char tmpl[] = "/tmp/tessary-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path = tmpl;
}

TempDir::~TempDir() {
  if (path.size() > 10) run_process({"rm", "-rf", "--", path});
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_script(const std::string& path, const std::string& body) {
  write_file(path, body);
  chmod(path.c_str(), 0755);
}

bool have_tool(const std::string& name) {
  const char* p = getenv("PATH");
  std::string paths = p ? p : "/usr/bin:/bin";
  std::stringstream ss(paths);
  std::string dir;
  while (std::getline(ss, dir, ':')) {
    std::string f = (dir.empty() ? "." : dir) + "/" + name;
    if (access(f.c_str(), X_OK) == 0) return true;
  }
  return false;
}

namespace {

void read_into(int fd, std::string* out) {
  char buf[65536];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) out->append(buf, static_cast<size_t>(n));
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                          int timeout_s) {
  ProcessResult r;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e) {
    std::string s = *e;
    std::string key = s.substr(0, s.find('='));
    if (!env.count(key)) envs.push_back(s);
  }
  for (const auto& kv : env) envs.push_back(kv.first + "=" + kv.second);
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const auto& e : envs) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, cargv[0], &fa, &attr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    r.status = 127;
    r.err = std::string("spawn failed: ") + strerror(rc);
    return r;
  }
  auto deadline = start + std::chrono::seconds(timeout_s);
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      r.timed_out = true;
      kill(-pid, SIGKILL);
      break;
    }
    pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0}, {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    int n = poll(fds, 2, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        std::string* target = i == 0 ? &r.out : &r.err;
        size_t before = target->size();
        read_into(fds[i].fd, target);
        if (target->size() == before) (i == 0 ? out_open : err_open) = false;
      }
    }
  }
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) r.status = 128 + WTERMSIG(status);
  return r;
}

Receiver::Receiver() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_fd_, 64) != 0)
    throw std::runtime_error("receiver: cannot listen");
  socklen_t len = sizeof a;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { loop(); });
}

Receiver::~Receiver() {
  stop_ = true;
  thread_.join();
  close(listen_fd_);
}

void Receiver::loop() {
  struct Conn {
    int fd;
    std::string data;
  };
  std::vector<Conn> conns;
  while (!stop_) {
    std::vector<pollfd> fds;
    fds.push_back({listen_fd_, POLLIN, 0});
    for (auto& c : conns) fds.push_back({c.fd, POLLIN, 0});
    int n = poll(fds.data(), fds.size(), 50);
    if (n <= 0) continue;
    if (fds[0].revents & POLLIN) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) conns.push_back({fd, {}});
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Conn& c = conns[i - 1];
      char buf[65536];
      ssize_t got = read(c.fd, buf, sizeof buf);
      if (got > 0) {
        c.data.append(buf, static_cast<size_t>(got));
      } else {
        close(c.fd);
        std::lock_guard<std::mutex> lock(mutex_);
        done_.push_back(std::move(c.data));
        c.fd = -1;
        cv_.notify_all();
      }
    }
    std::vector<Conn> open;
    for (auto& c : conns)
      if (c.fd >= 0) open.push_back(std::move(c));
    conns.swap(open);
  }
  for (auto& c : conns) close(c.fd);
}

std::vector<std::string> Receiver::wait_connections(std::size_t n, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done_.size() >= n; });
  return done_;
}

std::vector<std::string> Receiver::connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return done_;
}

std::vector<std::string> default_config(int port) {
  return {"127.0.0.1", std::to_string(port), "true", "true", "1000", "100000", "true", "/bin/true",
          "/tmp/", "true", "x10", "x11", "x12", "x13", "x14", "x15", "true", "true"};
}

std::string config_text(const std::vector<std::string>& values) {
  std::string text;
  for (size_t i = 0; i < values.size(); ++i) text += "key" + std::to_string(i) + " = " + values[i] + "\n";
  return text;
}

Sandbox::Sandbox() {
  etc_dir = root.file("etc");
  log_dir = root.file("log");
  mkdir(etc_dir.c_str(), 0755);
  mkdir(log_dir.c_str(), 0755);
  // The mount point must exist on the host; an empty directory is all that is created there.
  mkdir("/etc/vq", 0755);
}

void Sandbox::set_config(const std::vector<std::string>& values) { set_config_text(config_text(values)); }

void Sandbox::set_config_text(const std::string& text) { write_file(etc_dir + "/config.cfg", text); }

std::string Sandbox::error_log() const { return read_file(log_dir + "/vq_error.log"); }

ProcessResult Sandbox::run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                           int timeout_s, const std::string& cwd) {
  // The script only ever sees the paths as positional parameters, never as command text.
  std::vector<std::string> argv = {
      "unshare", "-m", "--propagation", "private", "sh", "-c",
      "mount --bind \"$1\" /etc/vq && mount --bind \"$2\" /var/log && "
      "if [ -n \"$3\" ]; then cd \"$3\" || exit 99; fi; shift 3; exec \"$@\"",
      "sh", etc_dir, log_dir, cwd};
  argv.insert(argv.end(), exec_prefix.begin(), exec_prefix.end());
  argv.push_back(tessary_binary());
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, env, timeout_s);
}

std::string tessary_binary() {
  const char* over = getenv("TESSARY_BIN");
  return over ? over : TESSARY_BINARY;
}

std::map<std::string, std::string> parse_record(const std::string& data) {
  std::map<std::string, std::string> f;
  // A whole delivery ends with the closing line; the record is what comes before it.
  const std::string quit = "quit\r\n";
  std::string record = data;
  if (record.size() >= quit.size() && record.compare(record.size() - quit.size(), quit.size(), quit) == 0)
    record.resize(record.size() - quit.size());
  static const char* kMarkers[] = {"#PFAD#", "#DATEINAME#", "#LETZ.ZUG#", "#LETZT.MOD#",
                                   "#CREATE.DATAE#", "#SIZE#", "#MD5#", "#INHALT#"};
  const std::string head = "set '";
  if (record.compare(0, head.size(), head) != 0) return {};
  if (record.size() < 2 || record.compare(record.size() - 3, 3, "'\r\n") != 0) return {};
  const std::string end = "@@ENDE@@' '";
  size_t end_pos = record.rfind(end);
  if (end_pos == std::string::npos) return {};
  f["stamp"] = record.substr(end_pos + end.size(), record.size() - 3 - end_pos - end.size());
  size_t pos = head.size();
  for (size_t i = 0; i < 8; ++i) {
    std::string m = kMarkers[i];
    if (record.compare(pos, m.size(), m) != 0) return {};
    pos += m.size();
    size_t next = i + 1 < 8 ? record.find(kMarkers[i + 1], pos) : end_pos;
    if (next == std::string::npos || next > end_pos) return {};
    f[m] = record.substr(pos, next - pos);
    pos = next;
  }
  return f;
}

bool split_delivery(const std::string& data, std::string* record, std::string* rest) {
  size_t pos = data.find("'\r\n");
  if (pos == std::string::npos) return false;
  // The record ends at the first CR LF that follows the stamp's closing quote.
  size_t end = data.rfind("'\r\nquit\r\n");
  if (end != std::string::npos && end + 9 == data.size()) pos = end;
  *record = data.substr(0, pos + 3);
  *rest = data.substr(pos + 3);
  return true;
}

pid_t spawn_logged(const std::vector<std::string>& argv, const std::string& log, bool stdout_to_log, bool own_group,
                   std::string* error) {
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (stdout_to_log) {
    posix_spawn_file_actions_adddup2(&fa, 2, 1);
  } else {
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (own_group) {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
  }
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, cargv[0], &fa, &attr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    *error = "cannot start " + argv[0] + ": " + strerror(rc);
    return -1;
  }
  return pid;
}

std::vector<pid_t> processes_matching(const std::string& needle) {
  std::vector<pid_t> found;
  DIR* d = opendir("/proc");
  if (!d) return found;
  while (dirent* e = readdir(d)) {
    pid_t pid = static_cast<pid_t>(atoi(e->d_name));
    if (pid <= 0 || pid == getpid()) continue;
    std::string cmd = read_file(std::string("/proc/") + e->d_name + "/cmdline");
    for (char& c : cmd)
      if (c == '\0') c = ' ';
    if (cmd.find(needle) != std::string::npos) found.push_back(pid);
  }
  closedir(d);
  return found;
}

// ---------------------------------------------------------------------------------------------
// Helpers of the parallel, signal, hostile-input and tool-fault runs.

std::vector<ProcessInfo> processes_with_environment(const std::string& entry) {
  std::vector<ProcessInfo> found;
  const std::string needle = std::string("\0", 1) + entry + std::string("\0", 1);
  DIR* d = opendir("/proc");
  if (!d) return found;
  while (dirent* e = readdir(d)) {
    pid_t pid = static_cast<pid_t>(atoi(e->d_name));
    if (pid <= 0 || pid == getpid()) continue;
    const std::string dir = std::string("/proc/") + e->d_name;
    // A leading NUL lets the first entry match like every other one.
    if ((std::string("\0", 1) + read_file(dir + "/environ")).find(needle) == std::string::npos) continue;
    ProcessInfo info;
    info.pid = pid;
    info.name = read_file(dir + "/comm");
    if (!info.name.empty() && info.name.back() == '\n') info.name.pop_back();
    info.command_line = read_file(dir + "/cmdline");
    for (char& c : info.command_line)
      if (c == '\0') c = ' ';
    found.push_back(info);
  }
  closedir(d);
  return found;
}

pid_t find_program_process(const std::string& needle, int timeout_ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    for (pid_t p : processes_matching(needle))
      if (read_file("/proc/" + std::to_string(p) + "/comm") == "tessary\n") return p;
    if (std::chrono::steady_clock::now() >= until) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::vector<std::string> directory_entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// The record's text rules are the product's own (record/record.h); these only pick the field.
std::string record_content(const std::string& text) {
  std::string path, name, content = text;
  tessary::normalise_texts(path, name, content);
  return content;
}

std::string record_path(const std::string& path) {
  std::string out = path, name, content;
  tessary::normalise_texts(out, name, content);
  return out;
}

std::string record_file_name(const std::string& path) {
  std::string name = tessary::file_name_of(path), unused_path, content;
  tessary::normalise_texts(unused_path, name, content);
  return name;
}

std::string md5_of(const std::string& path) {
  // md5sum marks a line whose file name it had to escape with a leading backslash.
  std::string out = run_process({"md5sum", "--", path}).out;
  if (!out.empty() && out[0] == '\\') out.erase(0, 1);
  return out.size() >= 32 ? out.substr(0, 32) : "";
}

std::string make_pdf(const std::string& pdf, const std::vector<std::string>& lines) {
  std::string ps = "%!PS\n/Helvetica findfont 12 scalefont setfont\n";
  for (size_t i = 0; i < lines.size(); ++i) {
    ps += "72 " + std::to_string(720 - 20 * static_cast<int>(i % 3)) + " moveto (" + lines[i] + ") show\n";
    if (i % 3 == 2 || i + 1 == lines.size()) ps += "showpage\n";
  }
  const std::string source = pdf + ".ps";
  write_file(source, ps);
  const auto r = run_process({"gs", "-q", "-dBATCH", "-dNOPAUSE", "-dSAFER", "-sDEVICE=pdfwrite",
                              "-sOutputFile=" + pdf, source});
  unlink(source.c_str());
  return r.status == 0 ? "" : "gs pdfwrite failed: " + r.err;
}

std::string pdf_record_text(const std::string& pdf, std::size_t line_limit) {
  const std::string out =
      run_process({"gs", "-dBATCH", "-dNOPAUSE", "-sDEVICE=txtwrite", "-dTextFormat=3", "-sOutputFile=-", pdf}).out;
  std::string kept;
  size_t line = 0, start = 0;
  while (start < out.size() && line < 4 + line_limit) {
    size_t end = out.find('\n', start);
    end = end == std::string::npos ? out.size() : end + 1;
    if (++line > 4) kept += out.substr(start, end - start);
    start = end;
  }
  return record_content(kept);
}

bool tag_mp3(const std::string& mp3, const Mp3Tags& tags) {
  TagLib::MPEG::File file(mp3.c_str());
  TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
  if (!tag) return false;
  tag->setTitle(TagLib::String(tags.title, TagLib::String::UTF8));
  tag->setArtist(TagLib::String(tags.artist, TagLib::String::UTF8));
  tag->setAlbum(TagLib::String(tags.album, TagLib::String::UTF8));
  tag->setComment(TagLib::String(tags.comment, TagLib::String::UTF8));
  tag->setGenre(TagLib::String(tags.genre, TagLib::String::UTF8));
  tag->setYear(tags.year);
  tag->setTrack(tags.track);
  return file.save();
}

std::string mp3_record_text(const std::string& mp3, const Mp3Tags& tags) {
  TagLib::FileRef ref(mp3.c_str(), true, TagLib::AudioProperties::Average);
  if (ref.isNull() || !ref.audioProperties()) return "(TagLib cannot read " + mp3 + ")";
  const TagLib::AudioProperties* p = ref.audioProperties();
  const int length = p->length();
  const std::string seconds = std::to_string(length % 60);
  const std::string text = "Titel:" + tags.title + "# Artist:" + tags.artist + "# Album:" + tags.album +
                           "# Jahr:" + std::to_string(tags.year) + "# Kommentar:" + tags.comment +
                           "# Track Nr. :" + std::to_string(tags.track) + "# Artist:" + tags.artist +
                           "# Genre:" + tags.genre + "# L\xC3\xA4nge:" + std::to_string(length / 60) + ":" +
                           (seconds.size() < 2 ? "0" : "") + seconds + "# Bitrate:" + std::to_string(p->bitrate()) +
                           "# sampleRate:" + std::to_string(p->sampleRate()) +
                           "# Channels:" + std::to_string(p->channels()) + "\n";
  return record_content(text);
}

std::string flac_record_text(const std::string& flac, const std::vector<std::string>& tags) {
  const std::string out = run_process({"metaflac", "--show-total-samples", "--show-sample-rate", "--show-vendor-tag",
                                       "--show-bps", "--show-channels", flac})
                              .out;
  std::vector<std::string> value(5);
  std::istringstream in(out);
  for (auto& v : value) {
    std::getline(in, v);
    v += "\n";
  }
  std::string text;
  for (const std::string& tag : tags) text += tag + "\n# ";
  std::ostringstream minutes;
  minutes << std::strtod(value[0].c_str(), nullptr) / std::strtod(value[1].c_str(), nullptr) / 60.0;
  text += "#Track Laenge:" + minutes.str() + " Minuten \n#Sample Rate:" + value[1] + "#Bits per Sample:" + value[3] +
          "#Vendor Tag:" + value[2] + "#Channels:" + value[4];
  return record_content(text);
}

long max_rss_kib(const std::string& err) {
  const std::string label = "Maximum resident set size (kbytes): ";
  const size_t at = err.rfind(label);
  return at == std::string::npos ? -1 : std::strtol(err.c_str() + at + label.size(), nullptr, 10);
}

std::string minimal_ooxml(const std::string& part) {
  std::string zip;
  for (const std::string& name : {std::string("[Content_Types].xml"), std::string("_rels/.rels"), part}) {
    const std::string data = "<x/>";
    auto u16 = [&](unsigned v) { zip += static_cast<char>(v & 255), zip += static_cast<char>(v >> 8); };
    auto u32 = [&](unsigned v) { u16(v & 0xFFFF), u16(v >> 16); };
    u32(0x04034b50);
    u16(20), u16(0), u16(0), u16(0), u16(0);
    u32(0), u32(static_cast<unsigned>(data.size())), u32(static_cast<unsigned>(data.size()));
    u16(static_cast<unsigned>(name.size())), u16(0);
    zip += name + data;
  }
  return zip;
}

}  // namespace harness
