// An origin for relay tests: an in-process HTTP server on 127.0.0.1 that serves scripted files,
// counts how often each is fetched, and can hold a reply until the test lets it go or trickle it.
#include "test_origin.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

TestOrigin::TestOrigin() : server_(std::make_unique<httplib::Server>()) {
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    OriginReply reply;
    {
      std::unique_lock lock(mutex_);
      ++hits_[request.path];
      auto redirect = redirects_.find(request.path);
      if (redirect != redirects_.end()) {
        response.status = 302;
        response.set_header("Location", redirect->second);
        return;
      }
      auto found = replies_.find(request.path);
      if (found == replies_.end()) {
        response.status = 404;
        return;
      }
      reply = found->second;
      if (reply.hold == OriginReply::Hold::BeforeReply)
        changed_.wait(lock, [this] { return released_; });
    }
    response.status = reply.code;
    if (reply.hold == OriginReply::Hold::Trickle) {
      auto body = std::make_shared<std::string>(reply.body);
      response.set_content_provider(body->size(), "application/octet-stream",
                                    [this, body](size_t offset, size_t, httplib::DataSink& sink) {
                                      return trickle(*body, offset, sink);
                                    });
      return;
    }
    if (reply.hold != OriginReply::Hold::MidBody) {
      response.set_content(reply.body, "application/octet-stream");
      return;
    }
    auto body = std::make_shared<std::string>(reply.body);
    response.set_content_provider(body->size(), "application/octet-stream",
                                  [this, body](size_t offset, size_t, httplib::DataSink& sink) {
                                    const size_t half = body->size() / 2;
                                    if (offset < half) return sink.write(body->data(), half);
                                    {
                                      std::unique_lock lock(mutex_);
                                      partial_sent_ = true;
                                      changed_.notify_all();
                                      changed_.wait(lock, [this] { return released_; });
                                    }
                                    return sink.write(body->data() + offset, body->size() - offset);
                                  });
  });
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind the origin");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  while (!server_->is_running()) std::this_thread::yield();
}

TestOrigin::~TestOrigin() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  release();
  server_->stop();
  thread_.join();
}

std::string TestOrigin::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void TestOrigin::serve(const std::string& path, OriginReply reply) {
  std::lock_guard lock(mutex_);
  replies_[path] = std::move(reply);
}

void TestOrigin::redirect(const std::string& path, const std::string& location) {
  std::lock_guard lock(mutex_);
  redirects_[path] = location;
}

int TestOrigin::hits(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto found = hits_.find(path);
  return found == hits_.end() ? 0 : found->second;
}

void TestOrigin::release() {
  std::lock_guard lock(mutex_);
  released_ = true;
  changed_.notify_all();
}

bool TestOrigin::wait_for_partial_body() {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return partial_sent_; });
}

bool TestOrigin::trickle(const std::string& body, size_t offset, httplib::DataSink& sink) {
  constexpr size_t kPiece = 512;
  {
    std::unique_lock lock(mutex_);
    // The origin's own pace, not a test's wait: it ends at once when the origin stops.
    if (offset > 0 &&
        changed_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopping_; }))
      return false;
  }
  return sink.write(body.data() + offset, std::min(kPiece, body.size() - offset));
}
