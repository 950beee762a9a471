// A minimal index-server stand-in for trying the program out: listens on 127.0.0.1, writes the
// chosen port to the file given as its first argument, and copies everything every connection
// sends to standard output, one connection after another. Ends on SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: tessary_receiver PORT_FILE\n", stderr);
    return 2;
  }
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 16) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("tessary_receiver");
    return 1;
  }
  FILE* port_file = std::fopen(argv[1], "w");
  if (port_file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(port_file, "%d\n", ntohs(address.sin_port));
  std::fclose(port_file);
  for (;;) {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0) continue;
    char buffer[65536];
    ssize_t got;
    while ((got = read(connection, buffer, sizeof buffer)) > 0) fwrite(buffer, 1, static_cast<size_t>(got), stdout);
    std::fflush(stdout);
    close(connection);
  }
}
