// A module-level text that request threads may set and read at the same time,
// such as the folder of the quote files. Each read answers a whole copy, so a
// caller works with one consistent value even while another thread sets it.
//
//   TSharedString Folder{"./"};
//   Folder = "/srv/cgi/";               // any thread
//   std::string folder = Folder.Get();  // a snapshot
#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace pithorama {

class TSharedString {
 public:
  TSharedString() = default;
  explicit TSharedString(std::string value) : value_(std::move(value)) {}
  TSharedString(const TSharedString&) = delete;
  TSharedString& operator=(const TSharedString&) = delete;

  TSharedString& operator=(std::string_view value) {
    std::lock_guard<std::mutex> guard(mutex_);
    value_.assign(value);
    return *this;
  }
  std::string Get() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return value_;
  }
  operator std::string() const { return Get(); }

 private:
  mutable std::mutex mutex_;
  std::string value_;
};

}  // namespace pithorama
