// Fetching a file from the relay's mirror into the output directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include "client/output/progress_meter.h"
#include "client/protocol/fetch_file.h"
#include "client/records/run_state.h"
#include "common/task.h"
#include "platform/digest.h"
#include "platform/status.h"

/// The digest a fetched body must have before it may take its file name.
struct DigestCheck {
  DigestKind kind;
  std::string expected;  ///< hex, as the record holds it
};

/// How one fetch ended.
enum class FetchEnd {
  Stored,          ///< a complete 200 response that passed its check took the file's name
  HttpError,       ///< the response was complete but its code was not 200
  TransferError,   ///< no complete response: no client, no connection, a cut or a stall
  DigestMismatch,  ///< a complete 200 response whose bytes have another digest
  WriteError,      ///< the file could not be created, written or given its name
  RunEnded,        ///< the output folder could not be made: the run cannot go on
};

/// What one fetch came to.
struct FetchOutcome {
  FetchEnd end = FetchEnd::TransferError;
  long status = 0;  ///< HTTP code of the last response; 0 when none was obtained
  /// Why it did not end Stored: libcurl's error, the system's, the mirror's code or the check;
  /// a Fatal status for RunEnded.
  Status reason;
};

/// The path a fetch under `name` is stored at: the name ("download.bin" when absent or empty)
/// in the output directory, or in the current one. Formed whole, however long (D18).
std::string output_path(const Settings& settings, const std::optional<std::string>& name);

/// The mirror URL of a file: "<base>/kxmirror/downloads/sha1/<digest>" or ".../sha256/...".
std::string mirror_url(const std::string& base_url, DigestKind kind, const std::string& digest);

/// The check that applies to a body fetched by `kind` for a record holding `digest`: none
/// unless `digest` has exactly the hex form of that kind.
std::optional<DigestCheck> digest_check_for(DigestKind kind,
                                            const std::optional<std::string>& digest);

/// True when a 206 reply whose Content-Range header is `content_range` continues a body at
/// byte `offset`: its range starts there, and its total is `total` when that is known.
bool reply_continues(std::string_view content_range, uint64_t offset,
                     std::optional<uint64_t> total);

/// Fetches `url` into the output directory under `name` ("download.bin" when absent or empty).
/// The body is streamed into a temporary file and takes the name only after a complete 200
/// response that passed `check`; otherwise nothing is left and an existing file is untouched.
/// A transfer cut once some bytes have arrived is asked again for the rest (`Range`), up to
/// five times in a row without progress (D25). With `part` and `check`, the bytes go to that
/// part file instead: the bytes it already holds are hashed and only the rest is fetched, and
/// a fetch cut for good keeps them there. A path that names a folder, or that the file system
/// refuses when the file takes its name, is reported as "Error opening file for write: %s"
/// with the result 0. Ends with RunEnded when the output directory cannot be created. While
/// the body arrives and standard error is a terminal, a meter there shows the progress: the
/// fetch's own, as a share of `size` (the record's size text) when that is a decimal number,
/// or, with `batch`, that meter of the fetches running side by side. Runs as an exchange on
/// the run's loop.
Task<FetchOutcome> download_file(RunState& state, std::string url, std::optional<std::string> name,
                                 std::optional<DigestCheck> check,
                                 std::optional<std::string> size = std::nullopt,
                                 BatchMeter* batch = nullptr,
                                 std::optional<std::string> part = std::nullopt);
