// A file of the output layer that reaches up into the protocol layer.
#include "client/protocol/exchange.h"
