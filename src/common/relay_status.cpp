// The status a relay answers a download request with, as both ends name it.
#include "common/relay_status.h"

namespace {

constexpr RelayStatus kKnown[] = {RelayStatus::Available, RelayStatus::InProcess,
                                  RelayStatus::Failed, RelayStatus::Invalid};

}  // namespace

std::string_view status_token(RelayStatus status) {
  switch (status) {
    case RelayStatus::Available:
      return "Available";
    case RelayStatus::InProcess:
      return "InProcess";
    case RelayStatus::Failed:
      return "Failed";
    case RelayStatus::Invalid:
      return "Invalid";
    case RelayStatus::Unknown:
      break;
  }
  return "";
}

RelayStatus relay_status_of(std::string_view token) {
  for (RelayStatus status : kKnown)
    if (status_token(status) == token) return status;
  return RelayStatus::Unknown;
}
