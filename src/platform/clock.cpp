// The wall clock and the one-second wait: what every platform shares.
#include "platform/clock.h"

void sleep_seconds(Clock& clock, int seconds) {
  for (int i = 0; i < seconds; ++i) clock.sleep_one_second();
}
