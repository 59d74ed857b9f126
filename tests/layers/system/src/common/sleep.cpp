// A file of the common layer that calls the system itself.
#include <unistd.h>
