// Fetching a file from the relay's mirror into the output directory.
#include "relay/file_retrieval.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "output/log.h"
#include "platform/atomic_file.h"
#include "platform/filesystem.h"
#include "platform/interrupt_cleanup.h"
#include "relay/curl_handles.h"
#include "run/state.h"

namespace {

constexpr size_t kPathBufferSize = 4096;
constexpr size_t kUrlBufferSize = 4096;
constexpr long kReceiveBlock = 512 * 1024;

struct FileSink {
  FILE* file;
  std::optional<Digest> digest;
};

}  // namespace

std::string mirror_url(const std::string& base_url, DigestKind kind, const std::string& digest) {
  const char* format = kind == DigestKind::Sha1 ? "%s/kxmirror/downloads/sha1/%s"
                                                : "%s/kxmirror/downloads/sha256/%s";
  return format_bounded(kUrlBufferSize, format, base_url.c_str(), digest.c_str());
}

std::optional<DigestCheck> digest_check_for(DigestKind kind,
                                            const std::optional<std::string>& digest) {
  if (!digest || !is_hex_digest(*digest, digest_hex_length(kind))) return std::nullopt;
  return DigestCheck{kind, *digest};
}

size_t file_sink_write(char* chunk, size_t size, size_t nmemb, void* sink) {
  auto* out = static_cast<FileSink*>(sink);
  size_t written = fwrite(chunk, size, nmemb, out->file);
  if (out->digest) out->digest->update(chunk, written * size);
  return written;
}

FetchOutcome download_file(const std::string& url, const std::optional<std::string>& name,
                           const std::optional<DigestCheck>& check) {
  FetchOutcome outcome;
  log_message("Downloading %s", url.c_str());

  const bool has_dir = settings.output_dir && !settings.output_dir->empty();
  if (has_dir && make_directory(*settings.output_dir) != 0)
    fatal_error("Could not create output directory: %s", settings.output_dir->c_str());

  const std::string file_name = name && !name->empty() ? *name : "download.bin";
  std::string path = has_dir ? join_path(*settings.output_dir, file_name) : file_name;
  if (path.size() > kPathBufferSize - 1) path.resize(kPathBufferSize - 1);

  // "." and ".." name the directory itself or its parent, never a file of this fetch.
  if (file_name == "." || file_name == "..") {
    log_message("Error opening file for write: %s", path.c_str());
    return outcome;
  }
  // Declared before the file, so that an interrupt still removes the temporary file until the
  // file's own destructor has removed (or its commit renamed) it.
  struct ForgetOnReturn {
    ~ForgetOnReturn() { remove_on_interrupt(nullptr); }
  } forget_on_return;
  std::optional<AtomicFile> file;
  {
    // No interrupt may fall between the file's creation and its naming for removal.
    InterruptsDeferred deferred;
    file.emplace(path);
    if (file->is_open()) remove_on_interrupt(file->temporary_path().c_str());
  }
  if (!file->is_open()) {
    log_message("Error opening file for write: %s", path.c_str());
    return outcome;
  }
  FileSink sink{file->file(), std::nullopt};
  try {
    if (check) sink.digest.emplace(check->kind);
  } catch (const std::bad_alloc&) {
    log_message("Error creating HTTP client");
    return outcome;
  }

  // libcurl hands over up to kReceiveBlock bytes at a time; each goes to the file in one write
  // rather than through stdio's small buffer.
  setvbuf(file->file(), nullptr, _IONBF, 0);
  {
    TransferHandle handle;
    if (!handle) {
      log_message("Error creating HTTP client");
      return outcome;
    }
    set_transfer_options(handle.get(), url.c_str());
    curl_easy_setopt(handle.get(), CURLOPT_BUFFERSIZE, kReceiveBlock);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, file_sink_write);
    curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &sink);
    if (curl_easy_perform(handle.get()) == CURLE_OK)
      curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &outcome.status);
  }

  if (outcome.status != 200) return outcome;
  if (check) {
    std::string received = sink.digest->hex();
    if (!hex_equal(received, check->expected)) {
      log_message("Digest mismatch for %s: expected %s, received %s", url.c_str(),
                  check->expected.c_str(), received.c_str());
      return outcome;
    }
  }
  outcome.stored = file->commit();
  return outcome;
}
