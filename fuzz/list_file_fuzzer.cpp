// Fuzzes the list-file reader: any bytes must give records whose fields hold no separator and
// no NUL, at most one record per line.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "client/records/run_state.h"
#include "client/run/list_file.h"
#include "platform/env.h"

namespace {

bool clean_field(const std::optional<std::string>& field) {
  if (!field) return true;
  if (field->empty()) return false;
  return field->find_first_of(std::string("\t \r\n\0", 5)) == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunState state(system_env());
  FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (size == 0 || !file) {
    if (file) fclose(file);
    return 0;
  }
  read_list_stream(state, file);
  fclose(file);

  size_t line_ends = 1;
  for (size_t i = 0; i < size; ++i) line_ends += data[i] == '\n' || data[i] == '\r';
  if (state.request_queue.count > line_ends) __builtin_trap();
  for (size_t i = 0; i < state.request_queue.count; ++i) {
    const Download& d = *queue_at(state.request_queue, i);
    if (!d.sha1 || !d.size || !d.url || d.status) __builtin_trap();
    if (!clean_field(d.sha1) || !clean_field(d.size) || !clean_field(d.url) ||
        !clean_field(d.sha256))
      __builtin_trap();
  }
  return 0;
}
