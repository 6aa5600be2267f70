#include "pithorama/gateways/fastcgi/FcgiRequest.h"

#include <algorithm>
#include <cstring>

#include "pithorama/gateways/fastcgi/FcgiConnection.h"

namespace pithorama {

TFcgiRequest::TFcgiRequest(uint16_t id, bool keepConn, std::shared_ptr<TFcgiConnection> connection)
    : id_(id), keepConn_(keepConn), connection_(std::move(connection)) {}

const std::string* TFcgiRequest::Param(std::string_view name) const {
  for (const TFcgiPair& pair : Params)
    if (pair.Name == name) return &pair.Value;
  return nullptr;
}

bool TFcgiRequest::PushInput(std::string_view bytes) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [&] { return inputHeld_ < kFcgiInputWindow || aborted_ || finished_; });
  if (aborted_ || finished_ || inputEnded_) return false;
  input_.emplace_back(bytes);
  inputHeld_ += bytes.size();
  changed_.notify_all();
  return true;
}

void TFcgiRequest::EndInput() {
  std::lock_guard<std::mutex> hold(lock_);
  inputEnded_ = true;
  changed_.notify_all();
}

void TFcgiRequest::Abort() {
  std::lock_guard<std::mutex> hold(lock_);
  aborted_ = true;
  changed_.notify_all();
}

bool TFcgiRequest::Aborted() const {
  std::lock_guard<std::mutex> hold(lock_);
  return aborted_;
}

bool TFcgiRequest::InputComplete() const {
  std::lock_guard<std::mutex> hold(lock_);
  return inputEnded_ || aborted_;
}

int64_t TFcgiRequest::ReadInput(void* buffer, size_t count) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [&] { return inputHeld_ > 0 || inputEnded_ || aborted_; });
  if (aborted_) return -1;
  if (inputHeld_ == 0) return 0;
  char* into = static_cast<char*>(buffer);
  size_t delivered = 0;
  while (delivered < count && !input_.empty()) {
    const std::string& piece = input_.front();
    const size_t n = std::min(count - delivered, piece.size() - inputFront_);
    std::memcpy(into + delivered, piece.data() + inputFront_, n);
    delivered += n;
    inputFront_ += n;
    if (inputFront_ == piece.size()) {
      input_.pop_front();
      inputFront_ = 0;
    }
  }
  inputHeld_ -= delivered;
  changed_.notify_all();
  return static_cast<int64_t>(delivered);
}

void TFcgiRequest::WriteOutput(std::string_view bytes) {
  if (bytes.empty() || Aborted()) return;
  if (output_.size() + bytes.size() <= kFcgiOutputBlock) {
    output_.append(bytes);
    return;
  }
  Flush();
  if (bytes.size() >= kFcgiOutputBlock)
    connection_->SendStream(kFcgiStdout, id_, bytes);  // the caller's bytes, not a copy
  else
    output_.assign(bytes);
}

void TFcgiRequest::Flush() {
  if (!output_.empty() && !Aborted()) connection_->SendStream(kFcgiStdout, id_, output_);
  output_.clear();
}

void TFcgiRequest::Finish(uint32_t appStatus) {
  // The last block of the answer, its end and the end of the request go
  // out together; an aborted request sends its end record only.
  bool aborted = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (finished_) return;
    aborted = aborted_;
    finished_ = true;
    input_.clear();
    inputHeld_ = 0;
    changed_.notify_all();
  }
  connection_->EndRequest(*this, aborted ? std::string_view() : output_, !aborted, appStatus);
  output_.clear();
}

}  // namespace pithorama
