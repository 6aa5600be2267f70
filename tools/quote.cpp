// quote: prints one random quote of a QUOTES.DTA, the way fortune prints a
// fortune: its lines, each ended by a line feed.
//
//   quote [FOLDER]    (the folder that holds QUOTES.DTA; the current one by default)
//
// Builds QUOTENDX.DTA beside the data file when it is missing. Exits with 1
// when no quote could be delivered.
#include <cstdio>
#include <string>

#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Module.h"
#include "pithorama/store/QuoteDb.h"
#include "pithorama/store/logfile.h"

using namespace pithorama;

int main(int argc, char** argv) {
  if (argc > 2) {
    std::fputs("usage: quote [FOLDER]\n", stderr);
    return 2;
  }
  StartModules({QuoteDbModule});
  if (argc == 2) QuoteDir = AddTrailingBackslash(argv[1]);

  TStringList quote;
  try {
    // As many tries as the program makes for a mail.
    for (int attempt = 0; attempt < 19 && quote.empty(); ++attempt) GetRandomQuote(quote);
  } catch (const Exception& e) {
    std::fprintf(stderr, "quote: %s\n", e.what());
    return 1;
  }
  if (quote.empty()) return 1;

  std::string text;
  for (const std::string& line : quote) text.append(line).push_back('\n');
  return TFile::StandardOutput().Write(text) ? 0 : 1;
}
