// The program's two global objects and its entry point.
#include <cstdio>

#include "app/driver.h"
#include "app/options.h"
#include "device/getdata.h"
#include "report/datafile.h"

// Defined together so they are built in this order before main and torn
// down in reverse at exit: the writer goes first, the connection (and with
// it the socket layer) last.
getdata conn;
datafile writer;

int main(int argc, char** argv) {
  const options run = scan_options(argc, argv);
  const int status = run_logfetch(run, conn, writer, stdin);
  std::fflush(stdout);
  return status;
}
