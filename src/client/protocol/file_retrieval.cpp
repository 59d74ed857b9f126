// Fetching a file from the relay's mirror into the output directory.
#include "client/protocol/file_retrieval.h"

#include <new>

#include "client/output/log.h"
#include "client/output/progress_meter.h"
#include "client/protocol/relay_transfer.h"
#include "common/digest_pipeline.h"
#include "common/hex.h"
#include "platform/atomic_file.h"
#include "platform/directories.h"
#include "platform/env.h"

namespace {

constexpr long kReceiveBlock = 512L * 1024;

struct FileSink {
  AtomicFile* file;
  /// Hashes on a second thread while the transfer goes on, so the digest costs the transfer no
  /// time; its buffers bound the memory it takes.
  std::optional<DigestPipeline> digest;
};

FetchOutcome ended(FetchEnd end, Status reason, long status = 0) {
  FetchOutcome outcome;
  outcome.end = end;
  outcome.status = status;
  outcome.reason = std::move(reason);
  return outcome;
}

Status file_failure(const AtomicFile& file) {
  return Status::failure(Status::Code::SystemError, file.error_text(), file.error_number());
}

// What a fetch shows of its progress: a meter of its own, or its share of the meter of the
// fetches running beside it.
struct FetchMeter {
  std::optional<ProgressMeter> own;
  BatchMeter* batch = nullptr;
  uint64_t counted = 0;  ///< bytes of this fetch the batch meter holds
  Env& env;

  bool active() const { return own ? own->active() : batch && batch->active(); }
};

// libcurl's progress callback: shows the bytes received so far.
int show_progress(void* data, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
  auto* shown = static_cast<FetchMeter*>(data);
  try {
    const auto bytes = static_cast<uint64_t>(received);
    const int64_t now = shown->env.monotonic_milliseconds();
    if (shown->own) {
      shown->own->update(bytes, now);
    } else if (shown->batch) {
      shown->batch->add(static_cast<int64_t>(bytes - shown->counted), now);
      shown->counted = bytes;
    }
  } catch (const std::exception&) {
    // A meter that cannot be drawn must not end the fetch.
  }
  return 0;
}

// Streams the body of `url` into `sink`, hashing it on the way, with a meter on a terminal
// (wiped before the next line). Fills the transfer's result and the code of the last response.
Task<CURLcode> stream_and_hash(RunState& state, const std::string& url, FileSink& sink,
                               const std::optional<std::string>& size, BatchMeter* batch,
                               FetchOutcome& outcome) {
  TransferHandle handle(&state.connection_cache);
  if (!handle) {
    log_message(state.settings, "Error creating HTTP client");
    outcome.reason =
        Status::failure(Status::Code::TransferError, "no HTTP client", CURLE_FAILED_INIT);
    co_return CURLE_FAILED_INIT;
  }
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(handle.get(), CURLOPT_ERRORBUFFER, error);
  set_relay_transfer_options(handle, url.c_str(), state.transfer_limits);
  // libcurl hands over up to kReceiveBlock bytes at a time; each goes to the file in one write.
  curl_easy_setopt(handle.get(), CURLOPT_BUFFERSIZE, kReceiveBlock);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, file_sink_write);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &sink);
  FetchMeter shown{std::nullopt, batch, 0, state.env};
  if (!batch) shown.own.emplace(expected_size_of(size), state.env.monotonic_milliseconds());
  if (shown.active()) {
    curl_easy_setopt(handle.get(), CURLOPT_XFERINFOFUNCTION, show_progress);
    curl_easy_setopt(handle.get(), CURLOPT_XFERINFODATA, &shown);
    curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, 0L);
  }
  const CURLcode result = co_await state.loop.perform(handle.get());
  if (result == CURLE_OK) {
    curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &outcome.status);
  } else {
    outcome.reason = Status::failure(Status::Code::TransferError,
                                     error[0] ? error : curl_easy_strerror(result), result);
  }
  co_return result;
}

// True when the received bytes have the digest the check asks for; logs a mismatch.
bool verify(RunState& state, const std::string& url, FileSink& sink,
            const std::optional<DigestCheck>& check) {
  // A body of the wrong digest never takes the file's name (D5).
  if (!check) return true;
  std::string received = sink.digest->finish();
  if (hex_equal(received, check->expected)) return true;
  log_message(state.settings, "Digest mismatch for %s: expected %s, received %s", url.c_str(),
              check->expected.c_str(), received.c_str());
  return false;
}

// Creates the output directory, on every fetch. A Fatal status when it cannot be made: the run
// ends.
Status make_output_directory(RunState& state) {
  const Settings& settings = state.settings;
  if (!settings.output_dir || settings.output_dir->empty()) return Status();
  Status made = state.env.make_directory(*settings.output_dir);
  if (made.ok()) return Status();
  log_debug(settings, "Reason: %s", made.message().c_str());
  return fatal_error(settings, "Could not create output directory: %s",
                     settings.output_dir->c_str());
}

// Opens the temporary file of the target. "." and ".." name a directory, never a file of this
// fetch (the driver refuses them before it gets here; a direct caller may not), and a folder of
// the target's name is found before any byte is fetched. False, with
// the outcome to return, when the target cannot be written.
bool open_target(RunState& state, const std::string& path, const std::optional<std::string>& name,
                 std::optional<AtomicFile>& file, FetchOutcome& refused) {
  const Settings& settings = state.settings;
  if (name != "." && name != ".." && !state.env.is_directory(path)) {
    // Every download of the run: an interrupt removes its temporary file.
    file.emplace(path, state.env, OnInterrupt::Remove);
    if (file->is_open()) return true;
  }
  log_message(settings, "Error opening file for write: %s", path.c_str());
  refused = ended(
      FetchEnd::WriteError,
      file ? file_failure(*file) : Status::failure(Status::Code::Refused, path + " is a folder"));
  return false;
}

// How the transfer itself ended, with its reason: Stored standing for "a complete 200
// response, to be checked and committed".
void end_of_transfer(FetchOutcome& outcome, CURLcode result, const AtomicFile& file) {
  if (result == CURLE_WRITE_ERROR && file.error_number() != 0) {
    outcome.end = FetchEnd::WriteError;
    outcome.reason = file_failure(file);
  } else if (result != CURLE_OK) {
    outcome.end = FetchEnd::TransferError;
  } else if (outcome.status != 200) {
    outcome.end = FetchEnd::HttpError;
    outcome.reason = Status::failure(Status::Code::Refused,
                                     format_text("the mirror answered %ld", outcome.status));
  } else {
    outcome.end = FetchEnd::Stored;
  }
}

// Gives the checked body its name. A name the file system still refuses (one the driver's
// checks could not foresee, such as a character a mounted file system does not allow) is found
// only here, when the whole body takes it: the same report as a file that cannot be opened,
// with the result 0 (D15).
FetchOutcome commit(const Settings& settings, const std::string& path, AtomicFile& file,
                    FetchOutcome outcome) {
  if (file.commit().ok()) return outcome;
  log_message(settings, "Error opening file for write: %s", path.c_str());
  return ended(FetchEnd::WriteError, file_failure(file));
}

}  // namespace

std::string output_path(const Settings& settings, const std::optional<std::string>& name) {
  const std::string file_name = name && !name->empty() ? *name : "download.bin";
  const bool has_dir = settings.output_dir && !settings.output_dir->empty();
  return has_dir ? join_path(*settings.output_dir, file_name) : file_name;
}

std::string mirror_url(const std::string& base_url, DigestKind kind, const std::string& digest) {
  return base_url +
         (kind == DigestKind::Sha1 ? "/kxmirror/downloads/sha1/" : "/kxmirror/downloads/sha256/") +
         digest;
}

std::optional<DigestCheck> digest_check_for(DigestKind kind,
                                            const std::optional<std::string>& digest) {
  if (!digest || !is_hex_digest(*digest, digest_hex_length(kind))) return std::nullopt;
  return DigestCheck{kind, *digest};
}

size_t file_sink_write(char* chunk, size_t size, size_t nmemb, void* sink) {
  auto* out = static_cast<FileSink*>(sink);
  const size_t length = size * nmemb;
  // A short count makes libcurl end the transfer with a write error.
  if (!out->file->write(chunk, length)) return 0;
  if (out->digest && !out->digest->update(chunk, length)) return 0;
  return nmemb;
}

Task<FetchOutcome> download_file(RunState& state, std::string url, std::optional<std::string> name,
                                 std::optional<DigestCheck> check, std::optional<std::string> size,
                                 BatchMeter* batch) {
  const Settings& settings = state.settings;
  log_message(settings, "Downloading %s", url.c_str());
  if (Status made = make_output_directory(state); !made.ok())
    co_return ended(FetchEnd::RunEnded, std::move(made));

  const std::string path = output_path(settings, name);
  std::optional<AtomicFile> file;
  if (FetchOutcome refused; !open_target(state, path, name, file, refused)) co_return refused;
  FileSink sink{&*file, std::nullopt};
  try {
    if (check) sink.digest.emplace(check->kind);
  } catch (const std::bad_alloc&) {
    log_message(settings, "Error creating HTTP client");
    co_return ended(FetchEnd::TransferError,
                    Status::failure(Status::Code::TransferError, "out of memory"));
  }

  FetchOutcome outcome;
  const CURLcode result = co_await stream_and_hash(state, url, sink, size, batch, outcome);
  end_of_transfer(outcome, result, *file);
  if (outcome.end != FetchEnd::Stored) co_return outcome;
  if (!verify(state, url, sink, check)) {
    outcome.end = FetchEnd::DigestMismatch;
    outcome.reason = Status::failure(Status::Code::Refused, "the digest did not match");
    co_return outcome;
  }
  co_return commit(settings, path, *file, outcome);
}
