// A file of the output layer that reaches up into the relay layer.
#include "relay/exchange.h"
