#include "pithorama/gateways/fastcgi/FcgiServer.h"

#include <algorithm>

#include "pithorama/engine/ErrorLog.h"
#include "pithorama/gateways/fastcgi/FcgiRequest.h"
#include "pithorama/platform/Strings.h"
#include "pithorama/platform/Threads.h"

namespace pithorama {

namespace {

// Connections served at once; the next one waits in the listener's backlog.
constexpr size_t kMaxConnections = 1000;

}  // namespace

std::vector<std::string> ParseAddressList(std::string_view text) {
  std::vector<std::string> addresses;
  while (!text.empty()) {
    const size_t comma = text.find(',');
    std::string address = Trim(text.substr(0, comma));
    if (!address.empty()) addresses.push_back(std::move(address));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return addresses;
}

TFcgiServer::TFcgiServer(THandler handler, TFcgiServerSettings settings)
    : handler_(std::move(handler)), settings_(std::move(settings)) {
  settings_.Threads = std::max(1u, settings_.Threads);
}

TFcgiServer::~TFcgiServer() {
  Stop();
  Wait();
}

void TFcgiServer::Start(TStreamListener& listener) {
  listener_ = &listener;
  for (unsigned i = 0; i < settings_.Threads; ++i) pool_.emplace_back([this] { RequestLoop(); });
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

void TFcgiServer::AcceptLoop() {
  TStreamConnection connection;
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(lock_);
      connectionsChanged_.wait(hold,
                               [&] { return stopping_ || connectionThreads_ < kMaxConnections; });
      if (stopping_) return;
    }
    if (!listener_->Accept(connection)) return;
    if (!Allowed(connection)) {
      WriteErrorLog("FastCGI connection refused from " + connection.PeerAddress() +
                    ": not in FCGI_WEB_SERVER_ADDRS");
      connection.Close();
      continue;
    }
    AddConnection(std::move(connection));
  }
}

bool TFcgiServer::Allowed(const TStreamConnection& connection) const {
  const std::vector<std::string>& allowed = settings_.WebServerAddresses;
  if (allowed.empty() || connection.PeerAddress().empty()) return true;
  return std::find(allowed.begin(), allowed.end(), connection.PeerAddress()) != allowed.end();
}

void TFcgiServer::AddConnection(TStreamConnection stream) {
  auto connection = std::make_shared<TFcgiConnection>(std::move(stream));
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopping_) return;  // closed unread
    connections_.insert(connection);
    ++connectionThreads_;
  }
  // The thread ends with its connection; Wait counts them down.
  StartDetachedThread([this, connection]() mutable { ServeConnection(std::move(connection)); });
}

void TFcgiServer::ServeConnection(std::shared_ptr<TFcgiConnection> connection) {
  connection->Serve(*this);
  std::lock_guard<std::mutex> hold(lock_);
  connections_.erase(connection);
  connection.reset();
  --connectionThreads_;
  connectionsChanged_.notify_all();
}

void TFcgiServer::Dispatch(std::shared_ptr<TFcgiRequest> request) {
  std::lock_guard<std::mutex> hold(lock_);
  queue_.push_back(std::move(request));
  queued_.notify_one();
}

bool TFcgiServer::Stopping() const {
  std::lock_guard<std::mutex> hold(lock_);
  return stopping_;
}

TFcgiCapacity TFcgiServer::Capacity() const {
  return {static_cast<unsigned>(kMaxConnections), settings_.Threads, false};
}

// A request slot is free when fewer than Threads requests are being served;
// the request threads and the connection threads that serve here share them.
bool TFcgiServer::ServeHere(TFcgiRequest& request) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (busy_ >= settings_.Threads) return false;
    ++busy_;
  }
  RunHandler(request);
  return true;
}

void TFcgiServer::RequestLoop() {
  for (;;) {
    std::shared_ptr<TFcgiRequest> request;
    {
      std::unique_lock<std::mutex> hold(lock_);
      queued_.wait(hold, [&] {
        return (!queue_.empty() && busy_ < settings_.Threads) || (queue_.empty() && poolEnds_);
      });
      if (queue_.empty()) return;
      request = std::move(queue_.front());
      queue_.pop_front();
      ++busy_;
    }
    RunHandler(*request);
  }
}

// Serves the request, finishes it and frees its slot.
void TFcgiServer::RunHandler(TFcgiRequest& request) {
  try {
    handler_(request);
  } catch (const std::exception& error) {
    WriteErrorLog("FastCGI request failed: " + std::string(error.what()));
  } catch (...) {
    WriteErrorLog("FastCGI request failed");
  }
  request.Finish(0);
  std::lock_guard<std::mutex> hold(lock_);
  --busy_;
  if (!queue_.empty()) queued_.notify_one();
}

void TFcgiServer::Stop() {
  std::lock_guard<std::mutex> hold(lock_);
  if (stopping_) return;
  stopping_ = true;
  if (listener_ != nullptr) listener_->Stop();
  for (const auto& connection : connections_) connection->Stop();
  connectionsChanged_.notify_all();
}

void TFcgiServer::Wait() {
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::unique_lock<std::mutex> hold(lock_);
    connectionsChanged_.wait(hold, [&] { return connectionThreads_ == 0; });
    poolEnds_ = true;
    queued_.notify_all();
  }
  for (std::thread& thread : pool_)
    if (thread.joinable()) thread.join();
  pool_.clear();
}

}  // namespace pithorama
