#include "pithorama/gateways/fastcgi/FcgiConnection.h"

#include <string>
#include <vector>

#include "pithorama/engine/ErrorLog.h"
#include "pithorama/gateways/fastcgi/FcgiRequest.h"

namespace pithorama {

namespace {

// One receive takes at most this much; a record may span several.
constexpr size_t kReceiveBlock = 64 * 1024;

}  // namespace

TFcgiConnection::TFcgiConnection(TStreamConnection stream) : stream_(std::move(stream)) {}

TFcgiConnection::~TFcgiConnection() = default;

void TFcgiConnection::Serve(TFcgiDispatcher& dispatcher) {
  dispatcher_ = &dispatcher;
  TFcgiRecordReader reader;
  std::string buffer(kReceiveBlock, '\0');
  bool open = true;
  while (open) {
    const int64_t got = stream_.Receive(buffer.data(), buffer.size());
    if (got <= 0) break;  // the web server closed the connection, or it failed
    std::string_view input(buffer.data(), static_cast<size_t>(got));
    while (open) {
      const TFcgiReadStatus status = reader.Read(input);
      if (status == TFcgiReadStatus::NeedMore) break;
      if (status == TFcgiReadStatus::Failed) {
        LogFault(FcgiErrorText(reader.Error()));
        open = false;
      } else if (HandleRecord(reader.Header(), reader.Content()) == TNext::Close) {
        open = false;
      }
    }
    HandOn();
  }
  HandOn();
  // A request in flight is aborted: its handler finishes, its answer is dropped.
  std::shared_ptr<TFcgiRequest> left;
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    ending_ = true;
    if (current_ && dispatched_)
      left = current_;
    else
      current_.reset();
    // Sends of the request thread fail at once instead of waiting for a
    // web server that no longer reads.
    if (left) stream_.ShutdownBoth();
  }
  if (left) left->Abort();
  WaitForRequestEnd();
  // The request thread may still be sending the end of its request.
  std::lock_guard<std::mutex> write(writeLock_);
  std::lock_guard<std::mutex> hold(stateLock_);
  stream_.Close();
}

void TFcgiConnection::WaitForRequestEnd() {
  std::unique_lock<std::mutex> hold(stateLock_);
  requestEnded_.wait(hold, [&] { return current_ == nullptr; });
}

// A request whose variables are still coming has not begun: it is dropped
// with its connection, so a web server that stalls cannot hold the stop.
void TFcgiConnection::Stop() {
  std::lock_guard<std::mutex> hold(stateLock_);
  stopped_ = true;
  if (!current_ || !dispatched_) stream_.ShutdownBoth();
}

std::shared_ptr<TFcgiRequest> TFcgiConnection::Current(uint16_t id) {
  std::lock_guard<std::mutex> hold(stateLock_);
  if (current_ && current_->Id() == id) return current_;
  return nullptr;
}

void TFcgiConnection::LogFault(std::string_view what) {
  WriteErrorLog("FastCGI connection closed: " + std::string(what));
}

// ---- records -------------------------------------------------------------------

TFcgiConnection::TNext TFcgiConnection::HandleRecord(const TFcgiHeader& header,
                                                     std::string_view content) {
  if (FcgiIsManagement(header)) return HandleManagement(header, content);
  switch (header.Type) {
    case kFcgiBeginRequest:
      return BeginRequest(header.RequestId, content);
    case kFcgiAbortRequest:
      return AbortRequest(header.RequestId);
    case kFcgiParams:
      return Params(header.RequestId, content);
    case kFcgiStdin:
      return Stdin(header.RequestId, content);
    case kFcgiData:
    case kFcgiStdout:
    case kFcgiStderr:
    case kFcgiEndRequest:
      return TNext::Read;  // no record a responder takes: ignored
    default: {
      std::lock_guard<std::mutex> hold(writeLock_);
      writer_.WriteUnknownType(header.Type);
      return TNext::Read;
    }
  }
}

TFcgiConnection::TNext TFcgiConnection::HandleManagement(const TFcgiHeader& header,
                                                         std::string_view content) {
  std::lock_guard<std::mutex> hold(writeLock_);
  if (header.Type != kFcgiGetValues) {
    writer_.WriteUnknownType(header.Type);
    return TNext::Read;
  }
  std::vector<TFcgiPair> asked;
  if (!DecodeFcgiPairs(content, asked)) {
    LogFault("malformed get-values record");
    return TNext::Close;
  }
  writer_.WriteGetValuesResult(asked, dispatcher_->Capacity());
  return TNext::Read;
}

TFcgiConnection::TNext TFcgiConnection::BeginRequest(uint16_t id, std::string_view content) {
  const TFcgiBeginRequest begin = DecodeBeginRequest(content);
  // Asked before the state lock is taken: the server's Stop holds its own
  // lock while it takes this connection's.
  const bool serverStopping = dispatcher_->Stopping();
  std::unique_lock<std::mutex> hold(stateLock_);
  if (ending_) return TNext::Read;  // the connection is closing: nothing new
  if (current_) {
    const bool other = current_->Id() != id;  // the same id again is ignored
    hold.unlock();
    if (other) EndWithoutRequest(id, kFcgiCantMpxConn);
    return TNext::Read;
  }
  // A stopping server begins nothing: the web server may retry elsewhere.
  if (stopped_ || serverStopping) return TNext::Close;
  if (begin.Role != kFcgiResponder) {
    if (!begin.KeepConn()) {
      ending_ = true;
      hold.unlock();
      EndWithoutRequest(id, kFcgiUnknownRole);
      stream_.ShutdownSend();
      return TNext::Read;
    }
    hold.unlock();
    EndWithoutRequest(id, kFcgiUnknownRole);
    return TNext::Read;
  }
  current_ = std::make_shared<TFcgiRequest>(id, begin.KeepConn(), shared_from_this());
  dispatched_ = false;
  params_ = TFcgiParamsDecoder();
  return TNext::Read;
}

TFcgiConnection::TNext TFcgiConnection::AbortRequest(uint16_t id) {
  std::unique_lock<std::mutex> hold(stateLock_);
  if (!current_ || current_->Id() != id) return TNext::Read;
  if (dispatched_) {
    // Its thread ends it and sends the end record.
    std::shared_ptr<TFcgiRequest> request = current_;
    hold.unlock();
    request->Abort();
    return TNext::Read;
  }
  const bool keep = current_->KeepConn();
  current_.reset();
  requestEnded_.notify_all();
  if (!keep) ending_ = true;
  hold.unlock();
  EndWithoutRequest(id, kFcgiRequestComplete);
  if (!keep) stream_.ShutdownSend();
  return TNext::Read;
}

TFcgiConnection::TNext TFcgiConnection::Params(uint16_t id, std::string_view content) {
  std::shared_ptr<TFcgiRequest> request = Current(id);
  if (!request) return TNext::Read;
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    if (dispatched_) return TNext::Read;  // the stream has ended already
  }
  const bool fine = content.empty() ? params_.Finish() : params_.Feed(content);
  if (!fine) {
    LogFault(FcgiErrorText(params_.Error()));
    return TNext::Close;
  }
  if (!content.empty()) return TNext::Read;
  request->Params = std::move(params_.Pairs());
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    dispatched_ = true;
  }
  ready_ = std::move(request);
  return TNext::Read;
}

// Once the records at hand are read: a request whose body came with its
// variables (a GET, a small form) is served on this thread, saving the hand
// over to a request thread; one whose body is still coming, or one that
// finds every request slot busy, goes to the request threads.
void TFcgiConnection::HandOn() {
  if (!ready_) return;
  std::shared_ptr<TFcgiRequest> request = std::move(ready_);
  if (request->InputComplete() && dispatcher_->ServeHere(*request)) return;
  dispatcher_->Dispatch(std::move(request));
}

TFcgiConnection::TNext TFcgiConnection::Stdin(uint16_t id, std::string_view content) {
  std::shared_ptr<TFcgiRequest> request = Current(id);
  if (!request) return TNext::Read;  // a request that has ended: the rest is dropped
  if (content.empty())
    request->EndInput();
  else
    request->PushInput(content);
  return TNext::Read;
}

// ---- sending -------------------------------------------------------------------

void TFcgiConnection::PutRecord(std::string_view header, std::string_view content,
                                std::string_view padding) {
  if (gathering_) {
    gathered_.append(header).append(content).append(padding);
    return;
  }
  const std::string_view pieces[] = {header, content, padding};
  if (!sendFailed_ && !stream_.SendAll(pieces, 3)) sendFailed_ = true;
}

void TFcgiConnection::EndWithoutRequest(uint16_t id, uint8_t protocolStatus) {
  std::lock_guard<std::mutex> hold(writeLock_);
  writer_.WriteEndRequest(id, 0, protocolStatus);
}

bool TFcgiConnection::SendStream(uint8_t type, uint16_t id, std::string_view data) {
  std::lock_guard<std::mutex> hold(writeLock_);
  if (!sendFailed_) writer_.WriteStream(type, id, data);
  return !sendFailed_;
}

void TFcgiConnection::EndRequest(TFcgiRequest& request, std::string_view rest, bool endAnswer,
                                 uint32_t appStatus) {
  std::lock_guard<std::mutex> write(writeLock_);
  bool stop = false;
  bool close = false;
  {
    std::lock_guard<std::mutex> hold(stateLock_);
    if (current_.get() == &request) {
      current_.reset();
      dispatched_ = false;
    }
    stop = stopped_;
    close = stop || !request.KeepConn();
    if (close) ending_ = true;
    requestEnded_.notify_all();
  }
  if (!sendFailed_) {
    gathering_ = true;
    gathered_.clear();
    if (endAnswer) {
      writer_.WriteStream(kFcgiStdout, request.Id(), rest);
      writer_.EndStream(kFcgiStdout, request.Id());
    }
    writer_.WriteEndRequest(request.Id(), appStatus, kFcgiRequestComplete);
    gathering_ = false;
    const std::string_view all = gathered_;
    if (!stream_.SendAll(&all, 1)) sendFailed_ = true;
  }
  // A web server that did not ask to keep the connection reads the answer to
  // its end and then closes; what it still sends is read and dropped until
  // then. A stopping server ends the connection at once.
  if (stop)
    stream_.ShutdownBoth();
  else if (close)
    stream_.ShutdownSend();
}

}  // namespace pithorama
