// mkquotes: builds QUOTES.DTA from fortune-style text files, in which quotes
// are separated by lines holding a single "%".
//
//   mkquotes [-o QUOTES.DTA] FILE...
//
// The output is written under a temporary name beside it and renamed into
// place. QUOTENDX.DTA beside the output is deleted, so the next pick indexes
// the new quotes. Reports on standard error what a reader will not get back
// exactly as written.
#include <cstdio>
#include <string>
#include <vector>

#include "pithorama/platform/Files.h"
#include "pithorama/platform/Paths.h"
#include "pithorama/store/FortuneText.h"
#include "pithorama/store/QuoteDb.h"

using namespace pithorama;

namespace {

bool ReadAll(const std::string& path, std::string& text) {
  TFile file;
  if (!file.Open(path, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting))
    return false;
  char block[65536];
  for (int64_t n; (n = file.Read(block, sizeof block)) != 0;) {
    if (n < 0) return false;
    text.append(block, static_cast<size_t>(n));
  }
  return true;
}

bool WriteAll(const std::string& path, const std::string& data) {
  TFile file;
  std::string tempPath;
  if (!file.CreateUnique(path + ".", tempPath)) return false;
  bool ok = file.Write(data) && file.Close() && RenameFile(tempPath, path);
  if (!ok) DeleteFile(tempPath);
  return ok;
}

int Usage() {
  std::fputs("usage: mkquotes [-o QUOTES.DTA] FILE...\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string output = QuoteDataName;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-o" && i + 1 < argc) {
      output = argv[++i];
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage();
    } else {
      inputs.push_back(arg);
    }
  }
  if (inputs.empty()) return Usage();

  // Each file ends its last quote, as fortune files do without a final "%".
  TQuoteConversion all;
  for (const std::string& input : inputs) {
    std::string text;
    if (!ReadAll(input, text)) {
      std::fprintf(stderr, "mkquotes: cannot read %s\n", input.c_str());
      return 1;
    }
    TQuoteConversion part = ConvertFortuneText(text);
    all.data += part.data;
    all.quotes += part.quotes;
    all.skippedQuotes += part.skippedQuotes;
    all.changedLines += part.changedLines;
  }
  if (!WriteAll(output, all.data)) {
    std::fprintf(stderr, "mkquotes: cannot write %s\n", output.c_str());
    return 1;
  }
  DeleteFile(ExtractFilePath(output) + QuoteIndexName);
  std::fprintf(stderr, "mkquotes: %zu quotes written to %s", all.quotes, output.c_str());
  if (all.skippedQuotes > 0)
    std::fprintf(stderr, ", %zu left out (nothing readable)", all.skippedQuotes);
  if (all.changedLines > 0)
    std::fprintf(stderr, ", %zu lines that a reader gets back changed or not at all",
                 all.changedLines);
  std::fputs("\n", stderr);
  return 0;
}
