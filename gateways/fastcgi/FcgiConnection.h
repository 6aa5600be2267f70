// One connection from a web server: its thread reads the records, answers
// the management records, collects each request's variables and hands the
// request to the server's request threads, then feeds it the body. The
// request thread sends the answer through the same connection.
//
// One request at a time: a web server that begins a second request on a
// busy connection is told it cannot (FCGI_CANT_MPX_CONN). Malformed input
// writes one error-log line and ends the connection; the process serves on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "pithorama/gateways/fastcgi/FcgiParams.h"
#include "pithorama/gateways/fastcgi/FcgiRecord.h"
#include "pithorama/gateways/fastcgi/FcgiWriter.h"
#include "pithorama/platform/Listener.h"

namespace pithorama {

class TFcgiRequest;

// What a connection needs from the server that runs it.
class TFcgiDispatcher {
 public:
  virtual ~TFcgiDispatcher() = default;
  // Queues a request whose variables are complete for a request thread.
  virtual void Dispatch(std::shared_ptr<TFcgiRequest> request) = 0;
  // Serves a request whose body is complete on the calling (connection)
  // thread when a request slot is free, and finishes it; false when every
  // slot is busy.
  virtual bool ServeHere(TFcgiRequest& request) = 0;
  // True once the server stops: no new request is begun.
  virtual bool Stopping() const = 0;
  // What a get-values record is answered.
  virtual TFcgiCapacity Capacity() const = 0;
};

class TFcgiConnection : public std::enable_shared_from_this<TFcgiConnection>, private TFcgiSink {
 public:
  explicit TFcgiConnection(TStreamConnection stream);
  ~TFcgiConnection() override;

  // Reads and answers records until the web server closes the connection, the
  // connection fails, or it ends after a request. Waits for a request in
  // flight to finish before it answers; the socket is closed then.
  void Serve(TFcgiDispatcher& dispatcher);
  // Ends an idle connection (or one whose request has not begun) now and a
  // busy one after its request; any thread.
  void Stop();

  // ---- request threads ----
  // Records of the stream `type`; false once the connection has failed.
  bool SendStream(uint8_t type, uint16_t id, std::string_view data);
  // Ends `request`: its last answer bytes `rest` (may be empty) and the
  // empty record that ends the answer stream when `endAnswer`, then the
  // end-request record, in one send. The connection then takes the next
  // request, or ends when the web server did not ask to keep it. The
  // connection counts the request as over before the web server can see its
  // end, so a next request that follows at once is not taken for this one.
  void EndRequest(TFcgiRequest& request, std::string_view rest, bool endAnswer, uint32_t appStatus);

 private:
  enum class TNext { Read, Close };
  void PutRecord(std::string_view header, std::string_view content,
                 std::string_view padding) override;
  TNext HandleRecord(const TFcgiHeader& header, std::string_view content);
  TNext HandleManagement(const TFcgiHeader& header, std::string_view content);
  TNext BeginRequest(uint16_t id, std::string_view content);
  TNext AbortRequest(uint16_t id);
  TNext Params(uint16_t id, std::string_view content);
  TNext Stdin(uint16_t id, std::string_view content);
  void EndWithoutRequest(uint16_t id, uint8_t protocolStatus);
  void LogFault(std::string_view what);
  std::shared_ptr<TFcgiRequest> Current(uint16_t id);
  void HandOn();
  void WaitForRequestEnd();

  TStreamConnection stream_;
  TFcgiDispatcher* dispatcher_ = nullptr;

  std::mutex writeLock_;  // one record at a time, whole
  TFcgiWriter writer_{*this};
  bool sendFailed_ = false;  // under writeLock_
  bool gathering_ = false;   // under writeLock_: records collect in gathered_
  std::string gathered_;

  std::mutex stateLock_;
  std::condition_variable requestEnded_;
  std::shared_ptr<TFcgiRequest> current_;  // being received or served
  bool dispatched_ = false;                // current_ went to a request thread
  bool ending_ = false;                    // no new request: the connection ends
  bool stopped_ = false;
  TFcgiParamsDecoder params_;  // connection thread only
  // A request whose variables are complete, not yet handed on: served here
  // when its body came with them, else queued (connection thread only).
  std::shared_ptr<TFcgiRequest> ready_;
};

}  // namespace pithorama
