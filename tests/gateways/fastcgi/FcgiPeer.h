// A scripted web server for the FastCGI gateway's tests: an engine serving a
// loopback listener on a thread of its own, and client connections that send
// records and read the answers. A watchdog ends a connection that waits too
// long, so that a hang fails the test instead of stopping the run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pithorama/gateways/fastcgi/FcgiEng.h"
#include "pithorama/gateways/fastcgi/FcgiParams.h"
#include "pithorama/platform/Listener.h"
#include "tests/gateways/fastcgi/FcgiBytes.h"

namespace pithorama::test {

constexpr auto kPeerPatience = std::chrono::seconds(30);

// The records of a begin request and a whole params stream.
inline std::string BeginRecord(uint16_t id, uint16_t role = kFcgiResponder, bool keep = true) {
  return Record(kFcgiBeginRequest, id,
                Bytes(EncodeBeginRequest({role, static_cast<uint8_t>(keep ? kFcgiKeepConn : 0)})));
}

inline std::string ParamsRecords(uint16_t id, const std::map<std::string, std::string>& params) {
  std::string pairs;
  for (const auto& [name, value] : params) AppendFcgiPair(pairs, name, value);
  std::string out;
  for (size_t at = 0; at < pairs.size(); at += kFcgiMaxContentLength)
    out += Record(kFcgiParams, id, std::string_view(pairs).substr(at, kFcgiMaxContentLength));
  return out + Record(kFcgiParams, id, "");
}

// The body as standard-input records of at most `piece` bytes, and the end.
inline std::string StdinRecords(uint16_t id, std::string_view body, size_t piece = 65535) {
  std::string out;
  for (size_t at = 0; at < body.size(); at += piece)
    out += Record(kFcgiStdin, id, body.substr(at, piece));
  return out + Record(kFcgiStdin, id, "");
}

inline std::string Request(uint16_t id, const std::map<std::string, std::string>& params,
                           std::string_view body = {}, bool keep = true) {
  return BeginRecord(id, kFcgiResponder, keep) + ParamsRecords(id, params) + StdinRecords(id, body);
}

// One connection of the scripted web server.
class TPeerConnection {
 public:
  explicit TPeerConnection(const std::string& address) : stream_(ConnectStream(address)) {
    watchdog_ = std::thread([this] {
      std::unique_lock<std::mutex> hold(lock_);
      if (!done_.wait_for(hold, kPeerPatience, [&] { return finished_; })) {
        stream_.ShutdownBoth();  // a hang ends as a closed connection
      }
    });
  }
  ~TPeerConnection() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      finished_ = true;
    }
    done_.notify_all();
    watchdog_.join();
  }
  bool IsOpen() const { return stream_.IsOpen(); }
  bool Send(std::string_view bytes) { return stream_.SendAll(&bytes, 1); }
  void Close() { stream_.ShutdownBoth(); }

  // Reads records until one of `type` for `id` (or the connection's end:
  // false). Every record read is kept in Records.
  bool ReadUntil(uint8_t type, uint16_t id = 0) {
    for (;;) {
      for (; seen_ < Records.size(); ++seen_)
        if (Records[seen_].Type == type && Records[seen_].RequestId == id) {
          Found = Records[seen_++];
          return true;
        }
      char block[65536];
      const int64_t got = stream_.Receive(block, sizeof block);
      if (got <= 0) return false;
      std::string_view input(block, static_cast<size_t>(got));
      for (;;) {
        const TFcgiReadStatus status = reader_.Read(input);
        if (status != TFcgiReadStatus::Record) break;
        Records.push_back(
            {reader_.Header().Type, reader_.Header().RequestId, std::string(reader_.Content())});
        MaxContent = std::max(MaxContent, reader_.Content().size());
      }
    }
  }
  // True when the application closes the connection (after any records).
  bool ReadsEnd() {
    while (ReadUntil(0xFF, 0xFFFF)) {
    }
    return true;
  }

  // The standard output of request `id` read so far.
  std::string Stdout(uint16_t id) const {
    std::string out;
    for (const TReadRecord& r : Records)
      if (r.Type == kFcgiStdout && r.RequestId == id) out += r.Content;
    return out;
  }
  // The end-request body of request `id`.
  TFcgiEndRequest End(uint16_t id) const {
    for (const TReadRecord& r : Records)
      if (r.Type == kFcgiEndRequest && r.RequestId == id) return DecodeEndRequest(r.Content);
    return {0xFFFFFFFF, 0xFF};
  }

  std::vector<TReadRecord> Records;
  TReadRecord Found{};  // the record the last successful ReadUntil found
  size_t MaxContent = 0;

 private:
  TStreamConnection stream_;
  TFcgiRecordReader reader_;
  size_t seen_ = 0;
  std::thread watchdog_;
  std::mutex lock_;
  std::condition_variable done_;
  bool finished_ = false;
};

// An engine serving a loopback listener until Stop.
class TServedEngine {
 public:
  explicit TServedEngine(TGatewaySettings settings = {}, unsigned threads = 2)
      : engine(nullptr, settings) {
    std::string error;
    listening = listener.Listen("127.0.0.1:0", error);
    thread_ = std::thread([this, threads] {
      engine.Serve(listener, threads, [this] { stop_.get_future().wait(); });
    });
  }
  ~TServedEngine() { Stop(); }
  std::string Address() const { return listener.LocalAddress(); }
  // Stops the server and waits until every request has finished.
  void Stop() {
    if (!thread_.joinable()) return;
    stop_.set_value();
    thread_.join();
  }

  TFastCgiEngine engine;
  TStreamListener listener;
  bool listening = false;

 private:
  std::promise<void> stop_;
  std::thread thread_;
};

}  // namespace pithorama::test
