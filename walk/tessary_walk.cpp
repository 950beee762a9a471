// tessary-walk [OPTIONS] PATH...: indexes every regular file under the given paths in worker
// processes forked from this one, which reads the configuration and warms libmagic once.
// See walk_help_text() for the command line and the exit statuses.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "driver/file_facts.h"
#include "driver/run.h"
#include "walk/options.h"
#include "walk/state.h"
#include "walk/supervisor.h"
#include "walk/tree.h"

namespace {

constexpr int kExitFailures = 1;
constexpr int kExitUsage = 2;

int usage_error(const std::string& message) {
  std::fprintf(stderr, "tessary-walk: %s\nTry 'tessary-walk --help' for more information.\n", message.c_str());
  return kExitUsage;
}

// Deep trees hold one descriptor per level: allow as many as the hard limit permits.
void raise_descriptor_limit() {
  rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? 65536 : std::min<rlim_t>(limit.rlim_max, 65536);
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = wanted;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr && f != stdin) std::fclose(f);
  }
};

}  // namespace

int main(int argc, char** argv) {
  // The command line.
  tessary::WalkOptions options;
  std::string error;
  if (!tessary::parse_walk_options(argc, argv, &options, &error)) return usage_error(error);
  if (options.help) {
    std::fputs(tessary::walk_help_text(), stdout);
    return 0;
  }
  if (options.version) {
    std::puts("tessary-walk " TESSARY_VERSION);
    return 0;
  }
  if (options.jobs == 0) options.jobs = tessary::usable_cores();
  if (options.state.empty()) options.state = tessary::default_state_path();
  if (options.state.empty()) return usage_error("no state file: set HOME or XDG_STATE_HOME, or give --state");

  // Signals: the walk reads them in its loop; a closed standard error must not end it.
  tessary::Supervisor::block_signals();
  signal(SIGPIPE, SIG_IGN);
  raise_descriptor_limit();

  // The configuration, read once, exactly as tessary reads it.
  tessary::RunSetup setup;
  if (!tessary::prepare_run(&setup)) return kExitFailures;

  // The state file, and the lists in and out.
  tessary::WalkState state;
  if (!state.open(options.state, &error)) {
    std::fprintf(stderr, "tessary-walk: %s\n", error.c_str());
    return kExitUsage;
  }
  std::unique_ptr<FILE, FileCloser> from;
  if (!options.from.empty()) {
    from.reset(options.from == "-" ? stdin : std::fopen(options.from.c_str(), "re"));
    if (!from) return usage_error("cannot read --from " + options.from + ": " + std::strerror(errno));
  }
  std::unique_ptr<FILE, FileCloser> failures;
  if (!options.failures.empty()) {
    failures.reset(std::fopen(options.failures.c_str(), "we"));
    if (!failures) return usage_error("cannot write --failures " + options.failures + ": " + std::strerror(errno));
  }

  // The walk over the given paths, then the listed ones.
  tessary::TreeOptions tree_options;
  tree_options.excludes = options.excludes;
  tree_options.one_file_system = options.one_file_system;
  tessary::TreeWalk tree(tree_options);
  for (const std::string& path : options.paths) tree.add_path(path);
  if (from) tree.add_list(from.get(), options.null_separated);

  // On a terminal, a second walk counts the given paths' files ahead, for the ETA.
  std::unique_ptr<tessary::TreeWalk> counter;
  const bool progress = !options.quiet && isatty(STDERR_FILENO);
  if (progress && !options.paths.empty()) {
    counter = std::make_unique<tessary::TreeWalk>(tree_options);
    for (const std::string& path : options.paths) counter->add_path(path);
  }

  // libmagic loaded once here, with the expressions and pages that common kinds of files need;
  // every worker inherits them.
  tessary::warm_file_facts();
  tessary::prime_file_facts(tessary::priming_samples());

  // Every file handed to a supervised worker process.
  tessary::SupervisorOptions supervision;
  supervision.jobs = options.jobs;
  supervision.heavy_jobs = std::max(1, options.jobs / 2);
  supervision.time_limit_seconds = options.time_limit_seconds;
  supervision.memory_limit = options.memory_limit;
  supervision.full = options.full;
  supervision.retry_failed = options.retry_failed;
  supervision.progress = progress;
  supervision.counter = counter.get();
  supervision.failures = failures.get();
  supervision.null_separated = options.null_separated;
  tessary::Supervisor supervisor(setup, &tree, &state, supervision);
  const tessary::WalkEnd end = supervisor.run();

  // The summary and the exit status.
  if (failures && std::fflush(failures.get()) != 0)
    std::fprintf(stderr, "tessary-walk: cannot write --failures %s: %s\n", options.failures.c_str(), std::strerror(errno));
  if (!options.quiet) std::fputs(tessary::format_summary(supervisor.counts(), supervisor.elapsed()).c_str(), stderr);
  switch (end) {
    case tessary::WalkEnd::kStateError:
      std::fprintf(stderr, "tessary-walk: %s\n", supervisor.state_error().c_str());
      return kExitUsage;
    case tessary::WalkEnd::kStopped: return 128 + supervisor.stop_signal();
    case tessary::WalkEnd::kServerUnreachable: return kExitFailures;
    case tessary::WalkEnd::kCompleted: break;
  }
  const tessary::WalkCounts& counts = supervisor.counts();
  return counts.failed() + counts.skipped_poison > 0 ? kExitFailures : 0;
}
