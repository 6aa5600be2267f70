// The floor of an in-process request: the HTTP server of isapi-host, with the
// same pool of threads, answering the bytes of one file with no library
// behind it. Prints its port once it listens; ends on SIGTERM or SIGINT.
//
//   bare_host --threads N PAGE_FILE
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "pithorama/platform/Signals.h"
#include "tools/httphost/HttpHost.h"

int main(int argc, char** argv) {
  if (argc != 4 || std::string(argv[1]) != "--threads") {
    std::fprintf(stderr, "usage: bare_host --threads N PAGE_FILE\n");
    return 2;
  }
  std::ifstream file(argv[3], std::ios::binary);
  std::ostringstream page;
  page << file.rdbuf();
  const std::string body = page.str();

  pithorama::BlockTerminationSignals();  // before the server starts its threads
  httphost::THttpServer server(std::atoi(argv[2]),
                               [&body](httphost::TRequest&, httphost::TAnswer& answer) {
                                 answer.AddHeader("Content-Type", "text/html");
                                 answer.Write(body);
                               });
  std::printf("%u\n", server.Start(0));
  std::fflush(stdout);
  pithorama::WaitForTerminationSignal();
  server.Stop();
  return 0;
}
