// tessary PATH: indexes one file and sends its index record to the index server.
//
// Exit statuses: 0 when the run ends by its own handling (record sent, or one of the silent
// early ends: a handled signal, a file that cannot be opened for the digest, a reader tool that
// cannot be started); 1 when the configuration, the file's status or the delivery fails (with a
// message on stderr); 2 for a missing path argument.
#include <signal.h>

#include <cstdio>

#include "driver/crash_log.h"
#include "driver/globals.h"
#include "driver/run.h"

int main(int argc, char** argv) {
  // Fatal and terminating signals are logged with the file's path from the very start.
  tessary::install_crash_handler();
  if (argc < 2) {
    std::fputs("usage: tessary PATH\n", stderr);
    return 2;
  }
  SIGSEGV_pfad_datei = argv[1];
  tessary::crash_log_arm(SIGSEGV_pfad_datei.c_str(), SIGSEGV_pfad_datei.size());

  // The configuration: index server, switches, limits.
  tessary::RunSetup setup;
  if (!tessary::prepare_run(&setup)) return 1;

  // Facts, content, digest, times put back, record delivered.
  const tessary::RunEnd end = tessary::run_path(setup, SIGSEGV_pfad_datei);

  signal(SIGCHLD, SIG_IGN);
  return end == tessary::RunEnd::kDelivered ? 0 : 1;
}
