// The quote database: QUOTES.DTA holds the quotes, each after a 0x01 byte (see
// QuoteDecoder.h for the bytes of a quote); QUOTENDX.DTA lists where each quote
// starts, one signed 32-bit little-endian offset of a 0x01 per 4-byte record,
// in ascending order, with no header.
//
//   QuoteDir = "/srv/cgi-bin/";  // the folder, with its trailing delimiter
//   TStringList quote;
//   for (int i = 0; i < 19 && quote.empty(); ++i) GetRandomQuote(quote);
//
// Threads: picks and index builds of several threads (and processes) may run
// at once; each opens its own files and draws from the process-wide generator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pithorama/platform/Module.h"
#include "pithorama/platform/Strings.h"
#include "pithorama/store/SharedString.h"

namespace pithorama {

inline constexpr const char* QuoteDataName = "QUOTES.DTA";
inline constexpr const char* QuoteIndexName = "QUOTENDX.DTA";

// The folder of both files, ending in the path delimiter: the paths are this
// text followed by the file name, nothing added between. "./" at start.
extern TSharedString QuoteDir;

// Builds QUOTENDX.DTA from QUOTES.DTA in QuoteDir. The index is written under
// a unique temporary name in the same folder and renamed into place, so a
// reader sees either no index or a whole one. Answers false when the index
// cannot be created (nothing else happens then). When QUOTES.DTA cannot be
// opened, an empty index is put in place and EInOutError raised with the
// operating system's code; later picks then find the index, see no data file
// and answer an empty list. A failed read or write raises EInOutError and
// leaves no index.
bool BuildQuoteIndex();

// Empties `quote`, then fills it with the lines of one randomly chosen quote,
// or leaves it empty when no quote could be delivered this time (the caller
// may try again). Builds the index first when it is missing. Costs one seek
// and one 4-byte read in the index per attempt (at most 19) and one read of
// the chosen quote; the rest of the data file is not touched. Raises
// EInOutError when a file cannot be opened or measured. A record that points
// outside the data file, or a quote longer than MaxQuoteBytes, gives an empty
// list.
void GetRandomQuote(TStringList& quote);

// Quotes are short sayings; a stretch longer than this comes from a broken or
// foreign data file and is not delivered, which bounds a pick's memory.
inline constexpr size_t MaxQuoteBytes = 1 << 20;

// Module start: seeds the process-wide generator from the UTC time of day.
void QuoteDbStart();
inline constexpr ModuleSteps QuoteDbModule{"QuoteDb", QuoteDbStart, nullptr};

}  // namespace pithorama
