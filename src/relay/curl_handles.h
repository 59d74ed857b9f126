// Owners for libcurl's handles, the run's connection cache, and the transfer options every
// exchange with the relay shares.
#pragma once

#include <memory>

#include <curl/curl.h>

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlSlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlShareDeleter {
  void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};
struct CurlTextDeleter {
  void operator()(char* text) const { curl_free(text); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;
using CurlShare = std::unique_ptr<CURLSH, CurlShareDeleter>;
using CurlText = std::unique_ptr<char, CurlTextDeleter>;

/// Limits that keep a broken or hostile peer from holding the run forever. Tests shorten them.
struct TransferLimits {
  long low_speed_bytes = 1;      ///< an exchange moving less than this many bytes per second...
  long low_speed_seconds = 300;  ///< ...for this long fails like a broken connection
  long max_redirects = 30;
};
extern TransferLimits transfer_limits;

/// One cache of connections, DNS answers and TLS sessions for every transfer of a run, so that
/// each transfer reuses a kept-alive connection. While an instance lives, every handle set up by
/// set_transfer_options() joins it, and TransferHandle reuses one easy handle for the whole run.
/// Only one may live at a time, and it must outlive the transfers that use it.
class ConnectionCache {
 public:
  ConnectionCache();
  ~ConnectionCache();
  ConnectionCache(const ConnectionCache&) = delete;
  ConnectionCache& operator=(const ConnectionCache&) = delete;

 private:
  friend class TransferHandle;
  CurlShare share_;
  /// An idle easy handle, reset, for the next transfer. Declared after the share handle so that
  /// it is cleaned up first: libcurl keeps a share handle alive while a handle uses it.
  CurlEasy spare_;
};

/// An easy handle for one transfer or one escaping, with every option at its default. While a
/// ConnectionCache lives, the cache's one handle is reset and lent out again (keeping libcurl's
/// per-handle plumbing for the whole run); otherwise a new handle is made and cleaned up.
class TransferHandle {
 public:
  TransferHandle();
  ~TransferHandle();
  TransferHandle(const TransferHandle&) = delete;
  TransferHandle& operator=(const TransferHandle&) = delete;

  CURL* get() const { return handle_.get(); }
  /// False when no handle could be had.
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  CurlEasy handle_;
};

/// Sets the URL and the options shared by every exchange: the connection cache, redirects
/// (http and https only, within the limit), the stall limit, and no certificate or host-name
/// checks when `url` itself begins with "https".
void set_transfer_options(CURL* handle, const char* url);
