// Owners for libcurl's handles, a connection cache, and the transfer options that every
// transfer of the client and of the relay shares.
#include "common/curl_handles.h"

ConnectionCache::ConnectionCache() : share_(curl_share_init()) {
  // Without a share handle every transfer simply opens its own connection.
  if (!share_) return;
  curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
}

TransferHandle::TransferHandle(ConnectionCache* cache) : cache_(cache) {
  if (cache_ && cache_->spare_)
    handle_ = std::move(cache_->spare_);  // reset when it was given back
  else
    handle_.reset(curl_easy_init());
}

TransferHandle::~TransferHandle() {
  if (!handle_ || !cache_ || cache_->spare_) return;  // cleaned up by its owner
  // Drops every option, so that nothing of this transfer (its buffers, header list or sink)
  // is referred to once their owners are gone.
  curl_easy_reset(handle_.get());
  cache_->spare_ = std::move(handle_);
}

void set_common_transfer_options(CURL* handle, const char* url, const TransferLimits& limits,
                                 CURLSH* share, TlsChecks tls, const char* protocols) {
  curl_easy_setopt(handle, CURLOPT_URL, url);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, protocols);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, limits.max_redirects);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_bytes);
  curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limits.low_speed_seconds);
  if (limits.connect_timeout_seconds > 0)
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limits.connect_timeout_seconds);
  if (share) curl_easy_setopt(handle, CURLOPT_SHARE, share);
  if (tls == TlsChecks::Off) {
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
  }
}
