// The FastCGI server of a process: one thread takes the connections of a
// listener, a thread per connection reads its records, and a pool of request
// threads serves the requests, each with the request state of its own thread.
// A request whose body came with its variables is served on its connection's
// thread instead when a request slot is free; the slots (Threads) bound the
// requests served at once. A connection that waits for its next request holds
// no slot.
//
//   TFcgiServer server([&](TFcgiRequest& r) { engine.ServeRequest(r); }, {8, {}});
//   server.Start(listener);
//   ...                      // until the process is told to end
//   server.Stop();           // no new connection or request
//   server.Wait();           // the requests in flight have finished
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "pithorama/gateways/fastcgi/FcgiConnection.h"
#include "pithorama/platform/Listener.h"

namespace pithorama {

struct TFcgiServerSettings {
  unsigned Threads = 8;  // request threads
  // Peer addresses a TCP connection may come from; empty: any. Connections
  // over a local (Unix) socket are always taken.
  std::vector<std::string> WebServerAddresses;
};

// The addresses of a comma-separated list such as FCGI_WEB_SERVER_ADDRS
// ("127.0.0.1,10.0.0.5"), blanks trimmed.
std::vector<std::string> ParseAddressList(std::string_view text);

class TFcgiServer : private TFcgiDispatcher {
 public:
  using THandler = std::function<void(TFcgiRequest& request)>;

  // The handler serves one request on a request thread and returns; the
  // server finishes the request after it.
  TFcgiServer(THandler handler, TFcgiServerSettings settings);
  ~TFcgiServer() override;
  TFcgiServer(const TFcgiServer&) = delete;
  TFcgiServer& operator=(const TFcgiServer&) = delete;

  // Starts the request threads and a thread that takes the listener's
  // connections. The listener must outlive the server.
  void Start(TStreamListener& listener);
  // Serves one connection on a thread of its own (as if accepted).
  void AddConnection(TStreamConnection connection);
  // Takes no new connection and begins no new request; idle connections end.
  void Stop();
  // After Stop: returns when every connection and request has ended and
  // every thread is gone.
  void Wait();

 private:
  void Dispatch(std::shared_ptr<TFcgiRequest> request) override;
  bool ServeHere(TFcgiRequest& request) override;
  void RunHandler(TFcgiRequest& request);
  bool Stopping() const override;
  TFcgiCapacity Capacity() const override;
  void AcceptLoop();
  void RequestLoop();
  void ServeConnection(std::shared_ptr<TFcgiConnection> connection);
  bool Allowed(const TStreamConnection& connection) const;

  THandler handler_;
  TFcgiServerSettings settings_;
  TStreamListener* listener_ = nullptr;
  std::thread acceptor_;
  std::vector<std::thread> pool_;

  mutable std::mutex lock_;
  // One request wakes one request thread; the acceptor and Wait watch the
  // connections.
  std::condition_variable queued_;
  std::condition_variable connectionsChanged_;
  std::deque<std::shared_ptr<TFcgiRequest>> queue_;
  std::set<std::shared_ptr<TFcgiConnection>> connections_;
  size_t connectionThreads_ = 0;
  unsigned busy_ = 0;  // requests being served, on any thread: at most Threads
  bool stopping_ = false;
  bool poolEnds_ = false;
};

}  // namespace pithorama
