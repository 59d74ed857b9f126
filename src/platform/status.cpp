// The outcome of an operation that can fail: what every platform shares.
#include "platform/status.h"

Status Status::system_error(std::string_view what, int error_number) {
  return Status(Code::SystemError, std::string(what) + ": " + system_error_text(error_number),
                error_number);
}
