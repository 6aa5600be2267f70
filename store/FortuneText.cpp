#include "pithorama/store/FortuneText.h"

#include "pithorama/store/QuoteDecoder.h"

namespace pithorama {

namespace {

constexpr size_t TabWidth = 8;

// One input line made safe for the data file (see the header).
std::string CleanLine(std::string_view line) {
  std::string clean;
  for (char c : line) {
    if (c == '\t') {
      clean.append(TabWidth - clean.size() % TabWidth, ' ');
    } else if (c != '\r' && c != QuoteDelimiter) {
      clean.push_back(c);
    }
  }
  return clean;
}

class TConverter {
 public:
  void AddLine(std::string_view line) {
    if (line == "%") {
      EndQuote();
    } else {
      lines_.push_back(CleanLine(line));
    }
  }

  void EndQuote() {
    while (!lines_.empty() && lines_.back().empty()) lines_.pop_back();
    size_t first = 0;
    while (first < lines_.size() && lines_[first].empty()) ++first;
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(first));
    if (!lines_.empty()) WriteQuote();
    lines_.clear();
  }

  TQuoteConversion& Result() { return result_; }

 private:
  void WriteQuote() {
    if (LinesAsRead(lines_).empty()) {
      ++result_.skippedQuotes;
      return;
    }
    ++result_.quotes;
    result_.data.push_back(QuoteDelimiter);
    for (const std::string& line : lines_) {
      if (LinesAsRead({line}) != TStringList{line}) ++result_.changedLines;
      result_.data.append(line).append("\r\n");
    }
  }

  TStringList lines_;
  TQuoteConversion result_;
};

}  // namespace

TStringList LinesAsRead(const TStringList& lines) {
  TStringList read;
  TQuoteDecoder decoder(read);
  for (const std::string& line : lines) {
    decoder.Feed(line);
    decoder.Feed("\r\n");
  }
  return read;
}

TQuoteConversion ConvertFortuneText(std::string_view text) {
  TConverter converter;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    converter.AddLine(line);
    start = end + 1;
  }
  converter.EndQuote();
  return std::move(converter.Result());
}

}  // namespace pithorama
