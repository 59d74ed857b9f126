// Quonfetch: fetches files through a caching relay.
#include <curl/curl.h>

#include "platform/interrupt_cleanup.h"
#include "run/command_line.h"
#include "run/driver.h"

int main(int argc, char** argv) {
  if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK) return 1;
  install_interrupt_cleanup();
  parse_command_line(argc, argv);
  run_downloads();
  curl_global_cleanup();
  return 0;
}
