// Fetching a file from the relay's mirror into the output directory.
#include "client/protocol/file_retrieval.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "client/output/log.h"
#include "client/output/progress_meter.h"
#include "client/protocol/relay_transfer.h"
#include "common/digest_pipeline.h"
#include "common/hex.h"
#include "platform/directories.h"
#include "platform/env.h"
#include "platform/files.h"

namespace {

constexpr long kReceiveBlock = 512L * 1024;
// A cut fetch asks for the rest up to this many times in a row without a byte coming of it,
// waiting 1, 2, 4, 8 and 16 seconds before each (D25).
constexpr int kResumesWithoutProgress = 5;

// Where the body of the current reply goes, and what the fetch has learnt of the whole body.
struct FileSink {
  FetchFile* file = nullptr;
  /// Hashes on a second thread while the transfer goes on, so the digest costs the transfer no
  /// time; its buffers bound the memory it takes.
  std::optional<DigestPipeline> digest;
  std::optional<DigestKind> digest_kind;
  CURL* easy = nullptr;
  /// The byte the current request asked to start at (a Range request when not 0).
  uint64_t offset = 0;
  /// The length of the whole body, once a reply has told it.
  std::optional<uint64_t> total;
  bool reply_checked = false;  ///< the current reply's status was looked at
  bool reply_kept = false;     ///< ...and its body goes to the file
  long refused_code = 0;       ///< a reply to a Range request that does not continue the file
};

// The first line of a fetch, "Downloading URL". Fetched one at a time, a fetch shows it as it
// begins; side by side, just before its next line or once its transfer has ended, so that the
// lines of one fetch stand together among those of the others.
class FetchStart {
 public:
  FetchStart(const Settings& settings, const std::string& url) : settings_(settings), url_(url) {
    if (settings_.jobs <= 1) show();
  }
  void show() {
    if (shown_) return;
    shown_ = true;
    log_message(settings_, "Downloading %s", url_.c_str());
  }

 private:
  const Settings& settings_;
  const std::string& url_;
  bool shown_ = false;
};

FetchOutcome ended(FetchEnd end, Status reason, long status = 0) {
  FetchOutcome outcome;
  outcome.end = end;
  outcome.status = status;
  outcome.reason = std::move(reason);
  return outcome;
}

// What a fetch shows of its progress: a meter of its own, or its share of the meter of the
// fetches running beside it; either counts the bytes the file holds, so that a resumed fetch
// goes on from where it stopped.
struct FetchMeter {
  std::optional<ProgressMeter> own;
  BatchMeter* batch = nullptr;
  uint64_t counted = 0;  ///< bytes of this fetch the batch meter holds
  Env& env;
  const FetchFile& file;

  bool active() const { return own ? own->active() : batch && batch->active(); }
};

// libcurl's progress callback: shows the bytes received so far.
int show_progress(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* shown = static_cast<FetchMeter*>(data);
  try {
    const uint64_t bytes = shown->file.size();
    const int64_t now = shown->env.monotonic_milliseconds();
    if (shown->own) {
      shown->own->update(bytes, now);
    } else if (shown->batch) {
      shown->batch->add(static_cast<int64_t>(bytes) - static_cast<int64_t>(shown->counted), now);
      shown->counted = bytes;
    }
  } catch (const std::exception&) {
    // A meter that cannot be drawn must not end the fetch.
  }
  return 0;
}

// Starts the digest of the body again, from its first byte. False when it cannot be had.
bool restart_digest(FileSink& sink) noexcept {
  if (!sink.digest_kind) return true;
  try {
    sink.digest.emplace(*sink.digest_kind);
    return true;
  } catch (const std::exception&) {
    sink.digest.reset();
    return false;
  }
}

// The length the reply announced for its whole body, when it did.
std::optional<uint64_t> announced_length(CURL* easy) {
  curl_off_t length = -1;
  if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK ||
      length < 0)
    return std::nullopt;
  return static_cast<uint64_t>(length);
}

// Looks at the status of the reply whose body begins to arrive, and decides where the body
// goes. A plain request keeps the body of a 200 only (the body of any other reply is read and
// dropped). A Range request keeps the body of a 206 that continues the file; a 200 (a server
// that ignores ranges) starts the file and its digest again; anything else is refused. False
// when the transfer must end here.
bool check_reply(FileSink& sink) {
  sink.reply_checked = true;
  long code = 0;
  curl_easy_getinfo(sink.easy, CURLINFO_RESPONSE_CODE, &code);
  if (sink.offset > 0 && code == 206) {
    curl_header* range = nullptr;
    const char* value =
        curl_easy_header(sink.easy, "Content-Range", 0, CURLH_HEADER, -1, &range) == CURLHE_OK
            ? range->value
            : "";
    sink.reply_kept = reply_continues(value, sink.offset, sink.total);
  } else if (code == 200) {
    if (sink.offset > 0 && (!sink.file->restart() || !restart_digest(sink))) return false;
    sink.offset = 0;
    if (!sink.total) sink.total = announced_length(sink.easy);
    sink.reply_kept = true;
  } else if (sink.offset == 0) {
    return true;  // an error's body, read and dropped
  }
  if (!sink.reply_kept) sink.refused_code = code;
  return sink.reply_kept;
}

// libcurl write callback: writes the chunk to the fetch's file and feeds its digest.
size_t file_sink_write(char* chunk, size_t size, size_t nmemb, void* data) {
  auto* sink = static_cast<FileSink*>(data);
  const size_t length = size * nmemb;
  // A short count makes libcurl end the transfer with a write error.
  if (!sink->reply_checked && !check_reply(*sink)) return 0;
  if (!sink->reply_kept) return nmemb;
  if (!sink->file->write(chunk, length)) return 0;
  if (sink->digest && !sink->digest->update(chunk, length)) return 0;
  return nmemb;
}

// Streams the body of `url` into `sink` from the sink's offset (with a Range request when it is
// not 0), hashing it on the way, with a meter on a terminal. Fills the transfer's result and
// the code of the last response.
Task<CURLcode> stream_and_hash(RunState& state, const std::string& url, FileSink& sink,
                               FetchMeter& shown, FetchStart& start, FetchOutcome& outcome) {
  TransferHandle handle(&state.connection_cache);
  if (!handle) {
    start.show();
    log_message(state.settings, "Error creating HTTP client");
    outcome.reason =
        Status::failure(Status::Code::TransferError, "no HTTP client", CURLE_FAILED_INIT);
    co_return CURLE_FAILED_INIT;
  }
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(handle.get(), CURLOPT_ERRORBUFFER, error);
  set_relay_transfer_options(handle, url.c_str(), state.fetch_limits);
  const std::string range = std::to_string(sink.offset) + "-";
  if (sink.offset > 0) curl_easy_setopt(handle.get(), CURLOPT_RANGE, range.c_str());
  // libcurl hands over up to kReceiveBlock bytes at a time; each goes to the file in one write.
  curl_easy_setopt(handle.get(), CURLOPT_BUFFERSIZE, kReceiveBlock);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, file_sink_write);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &sink);
  if (shown.active()) {
    curl_easy_setopt(handle.get(), CURLOPT_XFERINFOFUNCTION, show_progress);
    curl_easy_setopt(handle.get(), CURLOPT_XFERINFODATA, &shown);
    curl_easy_setopt(handle.get(), CURLOPT_NOPROGRESS, 0L);
  }
  sink.easy = handle.get();
  sink.reply_checked = sink.reply_kept = false;
  sink.refused_code = 0;
  const CURLcode result = co_await state.loop.perform(handle.get());
  sink.easy = nullptr;
  if (result == CURLE_OK)
    curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &outcome.status);
  else
    outcome.reason = Status::failure(Status::Code::TransferError,
                                     error[0] ? error : curl_easy_strerror(result), result);
  co_return result;
}

// True when the received bytes have the digest the check asks for; logs a mismatch.
bool verify(RunState& state, const std::string& url, FileSink& sink,
            const std::optional<DigestCheck>& check) {
  // A body of the wrong digest never takes the file's name (D5).
  if (!check) return true;
  std::string received = sink.digest ? sink.digest->finish() : std::string();
  if (hex_equal(received, check->expected)) return true;
  log_message(state.settings, "Digest mismatch for %s: expected %s, received %s", url.c_str(),
              check->expected.c_str(), received.c_str());
  return false;
}

// Creates the output directory, on every fetch. A Fatal status when it cannot be made: the run
// ends.
Status make_output_directory(RunState& state, FetchStart& start) {
  const Settings& settings = state.settings;
  if (!settings.output_dir || settings.output_dir->empty()) return Status();
  Status made = state.env.make_directory(*settings.output_dir);
  if (made.ok()) return Status();
  start.show();
  log_debug(settings, "Reason: %s", made.message().c_str());
  return fatal_error(settings, "Could not create output directory: %s",
                     settings.output_dir->c_str());
}

// Opens the file the fetch writes. "." and ".." name a directory, never a file of this fetch
// (the driver refuses them before it gets here; a direct caller may not), and a folder of the
// target's name is found before any byte is fetched. False, with the outcome to return, when
// the target cannot be written.
bool open_target(RunState& state, const std::string& path, const std::optional<std::string>& name,
                 std::optional<std::string> part, FetchStart& start, std::optional<FetchFile>& file,
                 FetchOutcome& refused) {
  const Settings& settings = state.settings;
  if (name != "." && name != ".." && !state.env.is_directory(path)) {
    file.emplace(state.env, path, std::move(part));
    if (file->is_open()) return true;
  }
  start.show();
  log_message(settings, "Error opening file for write: %s", path.c_str());
  refused =
      ended(FetchEnd::WriteError,
            file ? file->failure() : Status::failure(Status::Code::Refused, path + " is a folder"));
  return false;
}

// Adds the bytes a part file holds from an earlier run to the digest, so that only the rest is
// fetched. A part file longer than the record's size, or one that cannot be read, is dropped
// and the fetch starts from zero.
void take_up_part(RunState& state, FileSink& sink, const std::optional<std::string>& size) {
  FetchFile& file = *sink.file;
  if (!file.is_part() || file.size() == 0) return;
  const std::optional<uint64_t> expected = expected_size_of(size);
  bool usable = !expected || file.size() <= *expected;
  if (usable) {
    FilePtr read = state.env.open_file(*file.part_path(), "rb");
    std::vector<char> block(static_cast<size_t>(kReceiveBlock));
    uint64_t left = file.size();
    while (usable && left > 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
      usable = read && fread(block.data(), 1, want, read.get()) == want &&
               (!sink.digest || sink.digest->update(block.data(), want));
      left -= usable ? want : left;
    }
  }
  if (!usable) {
    file.restart();
    restart_digest(sink);
  }
  if (expected && usable) sink.total = expected;
}

// How the transfer itself ended, with its reason: Stored standing for "a complete 200
// response, to be checked and committed".
void end_of_transfer(FetchOutcome& outcome, CURLcode result, const FileSink& sink) {
  if (result == CURLE_WRITE_ERROR && !sink.file->failure().ok()) {
    outcome.end = FetchEnd::WriteError;
    outcome.reason = sink.file->failure();
  } else if (sink.refused_code != 0) {
    outcome.end = FetchEnd::HttpError;
    outcome.status = sink.refused_code;
    outcome.reason = Status::failure(
        Status::Code::Refused,
        format_text("the mirror answered %ld to a request for the bytes from %llu on",
                    sink.refused_code, static_cast<unsigned long long>(sink.offset)));
  } else if (result != CURLE_OK) {
    outcome.end = FetchEnd::TransferError;
  } else if (outcome.status != 200 && !(outcome.status == 206 && sink.reply_kept)) {
    outcome.end = FetchEnd::HttpError;
    outcome.reason = Status::failure(Status::Code::Refused,
                                     format_text("the mirror answered %ld", outcome.status));
  } else {
    outcome.end = FetchEnd::Stored;
  }
}

// True when a transfer that ended as `outcome` is worth asking again for the rest: it was cut
// (not refused, not a file's failure) once the file held some bytes.
bool resumable(const FetchOutcome& outcome, const FileSink& sink) {
  return outcome.end == FetchEnd::TransferError && sink.file->size() > 0;
}

// Fetches the body into the sink's file: from the byte the file holds on, asking again for the
// rest after a cut (D25). A part file whose rest the server does not serve is dropped, and the
// body fetched whole.
Task<FetchOutcome> fetch_body(RunState& state, const std::string& url, FileSink& sink,
                              FetchMeter& shown, FetchStart& start) {
  bool from_part = sink.file->size() > 0;
  int idle_resumes = 0;
  for (;;) {
    const uint64_t before = sink.file->size();
    sink.offset = before;
    FetchOutcome outcome;
    const CURLcode result = co_await stream_and_hash(state, url, sink, shown, start, outcome);
    if (from_part && sink.refused_code != 0 && sink.file->restart() && restart_digest(sink)) {
      from_part = false;
      continue;
    }
    from_part = false;
    // An empty 200 to a Range request: the file is empty now.
    if (result == CURLE_OK && outcome.status == 200 && !sink.reply_checked && sink.offset > 0 &&
        (!sink.file->restart() || !restart_digest(sink)))
      outcome.status = 0;
    end_of_transfer(outcome, result, sink);
    if (!resumable(outcome, sink)) co_return outcome;
    if (sink.file->size() > before) idle_resumes = 0;
    if (idle_resumes == kResumesWithoutProgress) co_return outcome;
    start.show();
    log_message(state.settings, "Resuming %s at byte %llu", url.c_str(),
                static_cast<unsigned long long>(sink.file->size()));
    co_await state.loop.pause(1 << idle_resumes++);
  }
}

// Gives the checked body its name. A name the file system still refuses (one the driver's
// checks could not foresee, such as a character a mounted file system does not allow) is found
// only here, when the whole body takes it: the same report as a file that cannot be opened,
// with the result 0 (D15).
FetchOutcome commit(const Settings& settings, const std::string& path, FetchFile& file,
                    FetchOutcome outcome) {
  if (file.commit().ok()) return outcome;
  log_message(settings, "Error opening file for write: %s", path.c_str());
  return ended(FetchEnd::WriteError, file.failure());
}

// A fetch that did not end Stored: a part file cut short keeps its bytes for the next run, and
// the reason says so; any other file of the fetch is removed.
FetchOutcome unfinished(FetchFile& file, FetchOutcome outcome) {
  if (file.is_part() && outcome.end == FetchEnd::TransferError && file.size() > 0) {
    outcome.reason = Status::failure(
        outcome.reason.code(),
        format_text("%s; its %llu bytes are kept in %s", outcome.reason.message().c_str(),
                    static_cast<unsigned long long>(file.size()), file.part_path()->c_str()),
        outcome.reason.error_number());
    return outcome;
  }
  file.discard();
  return outcome;
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

bool reply_continues(std::string_view content_range, uint64_t offset,
                     std::optional<uint64_t> total) {
  // "bytes FIRST-LAST/TOTAL", the total "*" when the server does not know it.
  unsigned long long first = 0, last = 0, whole = 0;
  char tail = 0;
  const std::string text(content_range);
  if (sscanf(text.c_str(), "bytes %llu-%llu/%llu%c", &first, &last, &whole, &tail) == 3)
    return first == offset && last >= first && last < whole && (!total || whole == *total);
  if (sscanf(text.c_str(), "bytes %llu-%llu/*%c", &first, &last, &tail) == 2)
    return first == offset && last >= first && !total;
  return false;
}

Task<FetchOutcome> download_file(RunState& state, std::string url, std::optional<std::string> name,
                                 std::optional<DigestCheck> check, std::optional<std::string> size,
                                 BatchMeter* batch, std::optional<std::string> part) {
  const Settings& settings = state.settings;
  FetchStart start(settings, url);
  if (Status made = make_output_directory(state, start); !made.ok())
    co_return ended(FetchEnd::RunEnded, std::move(made));

  const std::string path = output_path(settings, name);
  // A part file is only ever continued when the whole body's digest is checked at the end.
  if (!check) part.reset();
  std::optional<FetchFile> file;
  if (FetchOutcome refused; !open_target(state, path, name, part, start, file, refused))
    co_return refused;
  FileSink sink;
  sink.file = &*file;
  if (check) sink.digest_kind = check->kind;
  if (!restart_digest(sink)) {
    start.show();
    log_message(settings, "Error creating HTTP client");
    co_return ended(FetchEnd::TransferError,
                    Status::failure(Status::Code::TransferError, "out of memory"));
  }
  take_up_part(state, sink, size);

  FetchMeter shown{std::nullopt, batch, 0, state.env, *file};
  if (!batch) shown.own.emplace(expected_size_of(size), state.env.monotonic_milliseconds());
  FetchOutcome outcome = co_await fetch_body(state, url, sink, shown, start);
  start.show();
  if (outcome.end != FetchEnd::Stored) co_return unfinished(*file, std::move(outcome));
  if (!verify(state, url, sink, check)) {
    file->discard();
    outcome.end = FetchEnd::DigestMismatch;
    outcome.reason = Status::failure(Status::Code::Refused, "the digest did not match");
    co_return outcome;
  }
  co_return commit(settings, path, *file, outcome);
}
