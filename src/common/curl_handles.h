// Owners for libcurl's handles, a connection cache, and the transfer options that every
// transfer of the client and of the relay shares.
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

/// Limits that keep a broken or hostile peer from holding a transfer forever: the stall guard
/// (D7) and the redirect limit (D8).
struct TransferLimits {
  long low_speed_bytes = 1;      ///< a transfer moving less than this many bytes per second...
  long low_speed_seconds = 300;  ///< ...for this long fails like a broken connection
  long max_redirects = 30;
  long connect_timeout_seconds = 0;  ///< 0: libcurl's own default
};

/// Whether TLS peers are checked: libcurl's default (certificate and host name), or not at all.
enum class TlsChecks { Default, Off };

/// One cache of DNS answers and TLS sessions for many transfers (their connections are kept by
/// the multi handle they run on), and one easy handle lent to them in turn (keeping libcurl's
/// per-handle plumbing). It must outlive every TransferHandle made from it.
class ConnectionCache {
 public:
  ConnectionCache();
  ConnectionCache(const ConnectionCache&) = delete;
  ConnectionCache& operator=(const ConnectionCache&) = delete;

  CURLSH* share() const { return share_.get(); }

 private:
  friend class TransferHandle;
  CurlShare share_;
  /// An idle easy handle, reset, for the next transfer. Declared after the share handle so that
  /// it is cleaned up first: libcurl keeps a share handle alive while a handle uses it.
  CurlEasy spare_;
};

/// An easy handle for one transfer or one escaping, with every option at its default. With a
/// cache, the cache's handle is reset and lent out again; without one, a new handle is made.
class TransferHandle {
 public:
  explicit TransferHandle(ConnectionCache* cache);
  ~TransferHandle();
  TransferHandle(const TransferHandle&) = delete;
  TransferHandle& operator=(const TransferHandle&) = delete;

  CURL* get() const { return handle_.get(); }
  /// The cache's share handle, or null.
  CURLSH* share() const { return cache_ ? cache_->share() : nullptr; }
  /// False when no handle could be had.
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  ConnectionCache* cache_;
  CurlEasy handle_;
};

/// Sets the URL and the options every transfer shares: no signals, `protocols` for the first
/// URL and http and https only for redirects, at most `limits.max_redirects` of them, the stall
/// guard and connect limit of `limits`, the connection cache `share` (when not null), and the
/// TLS checks.
void set_common_transfer_options(CURL* handle, const char* url, const TransferLimits& limits,
                                 CURLSH* share, TlsChecks tls,
                                 const char* protocols = "http,https");
