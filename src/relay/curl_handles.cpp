// Owners for libcurl's handles, the run's connection cache, and the transfer options every
// exchange with the relay shares.
#include "relay/curl_handles.h"

#include <cstring>

TransferLimits transfer_limits;

namespace {
CURLSH* active_share = nullptr;
ConnectionCache* active_cache = nullptr;
}  // namespace

ConnectionCache::ConnectionCache() : share_(curl_share_init()) {
  // Without a share handle every transfer simply opens its own connection.
  if (!share_) return;
  curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
  curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  active_share = share_.get();
  active_cache = this;
}

ConnectionCache::~ConnectionCache() {
  if (active_cache == this) active_cache = nullptr;
  if (active_share == share_.get()) active_share = nullptr;
}

TransferHandle::TransferHandle() {
  if (active_cache && active_cache->spare_)
    handle_ = std::move(active_cache->spare_);  // reset when it was given back
  else
    handle_.reset(curl_easy_init());
}

TransferHandle::~TransferHandle() {
  if (!handle_ || !active_cache || active_cache->spare_) return;  // cleaned up by the owner
  // Drops every option, so that nothing of this transfer (its buffers, header list or sink)
  // is referred to once their owners are gone.
  curl_easy_reset(handle_.get());
  active_cache->spare_ = std::move(handle_);
}

void set_transfer_options(CURL* handle, const char* url) {
  curl_easy_setopt(handle, CURLOPT_URL, url);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, transfer_limits.max_redirects);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, transfer_limits.low_speed_bytes);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, transfer_limits.low_speed_seconds);
  if (active_share) curl_easy_setopt(handle, CURLOPT_SHARE, active_share);
  if (url && strncmp(url, "https", 5) == 0) {
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
  }
}
