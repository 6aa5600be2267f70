// One FastCGI request between the thread that reads its connection and the
// request thread that serves it. The connection thread fills in the
// variables, feeds the body (standard input) as it arrives and tells of an
// abort or a lost connection; the request thread reads the body, writes the
// answer and finishes the request.
//
// The body is held only up to kFcgiInputWindow bytes: a connection thread
// that brings more waits until the request thread has read some, so a large
// upload flows through to the form decoder without being kept whole.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "pithorama/gateways/fastcgi/FcgiParams.h"

namespace pithorama {

class TFcgiConnection;

// The most body bytes a request holds that its thread has not read yet.
constexpr size_t kFcgiInputWindow = 256 * 1024;
// Answer bytes gathered before they go out as one record; a longer write
// goes out at once, in records of at most kFcgiMaxContentLength bytes.
constexpr size_t kFcgiOutputBlock = 16 * 1024;

class TFcgiRequest {
 public:
  TFcgiRequest(uint16_t id, bool keepConn, std::shared_ptr<TFcgiConnection> connection);

  uint16_t Id() const { return id_; }
  bool KeepConn() const { return keepConn_; }

  // The request's variables, complete before the request is handed on.
  std::vector<TFcgiPair> Params;
  // The value of variable `name` (exact name), or nullptr.
  const std::string* Param(std::string_view name) const;

  // ---- the connection thread ----
  // Adds body bytes; waits while the window is full. False once the request
  // reads no more (it ended or was aborted): the bytes are dropped.
  bool PushInput(std::string_view bytes);
  // The empty standard-input record: the body is complete.
  void EndInput();
  // An abort record, or the connection is gone: the body fails, the answer
  // is dropped, and the request still finishes on its thread.
  void Abort();

  // ---- the request thread ----
  // Some body bytes (at most `count`), 0 at the end of the body, -1 when the
  // request was aborted or the body ended before its end record.
  int64_t ReadInput(void* buffer, size_t count);
  void WriteOutput(std::string_view bytes);
  // Sends what is gathered, the end of the answer stream and the end-request
  // record, and tells the connection that the request is over. Once.
  void Finish(uint32_t appStatus);
  bool Aborted() const;
  // The whole body has arrived (or the request was aborted): serving it
  // needs nothing more from the connection.
  bool InputComplete() const;

 private:
  void Flush();

  const uint16_t id_;
  const bool keepConn_;
  std::shared_ptr<TFcgiConnection> connection_;

  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::string> input_;  // body pieces not read yet
  size_t inputFront_ = 0;          // bytes of input_.front() already read
  size_t inputHeld_ = 0;           // bytes in input_ not read yet
  bool inputEnded_ = false;
  bool aborted_ = false;
  bool finished_ = false;

  std::string output_;  // request thread only
};

}  // namespace pithorama
