// The client's relay of the server's answer file to the web server. The first
// block of up to 1024 bytes is searched for the blank line (CR LF CR LF) that
// ends the header; when it is there, the line "Content-Length: <body bytes>"
// is put in front of it. An answer whose header ends later, or that has no
// blank line, is relayed unchanged. The rest follows in blocks of 1024.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace pithorama {

// Reads up to `count` bytes into `buffer`; answers the count, 0 at the end or
// negative on failure.
using TAnswerRead = std::function<int64_t(char* buffer, size_t count)>;
using TAnswerWrite = std::function<void(std::string_view bytes)>;

constexpr size_t kAnswerBlock = 1024;

// Copies an answer of `fileSize` bytes from `read` to `write`. False when a
// read failed (what was copied before stands).
bool CopyAnswer(int64_t fileSize, const TAnswerRead& read, const TAnswerWrite& write);

}  // namespace pithorama
