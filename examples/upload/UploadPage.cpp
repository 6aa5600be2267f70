#include "examples/upload/UploadPage.h"

#include <set>
#include <string>
#include <vector>

#include "examples/upload/Sha256.h"
#include "pithorama/engine/HttpText.h"
#include "pithorama/platform/Files.h"

namespace upload {

using namespace pithorama;

namespace {

constexpr std::string_view kUploadSuffix = "_FILENAME";

// A field that occurs several times reads as its values joined by CR LF.
std::vector<std::string> SplitValues(const std::string& joined) {
  std::vector<std::string> values;
  size_t from = 0;
  for (size_t at; (at = joined.find("\r\n", from)) != std::string::npos; from = at + 2)
    values.push_back(joined.substr(from, at - from));
  values.push_back(joined.substr(from));
  return values;
}

struct FileDigest {
  int64_t size = 0;
  std::string sha256;
};

FileDigest Digest(const std::string& path) {
  FileDigest digest;
  TFile file;
  if (!file.Open(path, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting)) {
    digest.size = -1;
    return digest;
  }
  TSha256 hash;
  std::string block(1 << 16, '\0');
  for (int64_t n; (n = file.Read(block.data(), block.size())) > 0;) {
    hash.Update(block.data(), static_cast<size_t>(n));
    digest.size += n;
  }
  digest.sha256 = hash.HexDigest();
  return digest;
}

}  // namespace

std::string FormPage(const std::string& action) {
  return "<html><head><title>Upload</title></head><body>\r\n"
         "<form method=\"post\" enctype=\"multipart/form-data\" action=\"" +
         HtmlEscape(action) +
         "\">\r\n"
         "<p><label>Title <input type=\"text\" name=\"title\"></label></p>\r\n"
         "<p><label>Comment <textarea name=\"comment\"></textarea></label></p>\r\n"
         "<p><label>First file <input type=\"file\" name=\"file1\"></label></p>\r\n"
         "<p><label>Second file <input type=\"file\" name=\"file2\"></label></p>\r\n"
         "<p><input type=\"submit\" value=\"Send\"></p>\r\n"
         "</form>\r\n</body></html>\r\n";
}

// One row per field name, then one row per upload: field, name as sent, size
// in bytes, SHA-256. A name is listed once however often it occurs, since its
// row already holds all of its values: the request lists a name again after
// every other name between its parts (an upload adds two), and a row per
// occurrence would repeat every value once per occurrence.
std::string AnswerPage(const TPostedFields& fields) {
  std::string page =
      "<html><head><title>Uploaded</title></head><body>\r\n<h1>Fields</h1>\r\n"
      "<table>\r\n";
  std::set<std::string> listed;
  std::set<std::string> uploadFields;
  for (const std::string& name : fields.Names()) {
    if (!listed.insert(name).second) continue;
    page += "<tr class=\"field\"><th>" + HtmlEscape(name) + "</th><td>" +
            HtmlEscape(fields.Value(name)) + "</td></tr>\r\n";
    if (name.size() > kUploadSuffix.size() && name.ends_with(kUploadSuffix))
      uploadFields.insert(name.substr(0, name.size() - kUploadSuffix.size()));
  }
  page += "</table>\r\n<h1>Files</h1>\r\n<table>\r\n";
  for (const std::string& field : uploadFields) {
    const std::vector<std::string> sent = SplitValues(fields.Value(field));
    const std::vector<std::string> stored =
        SplitValues(fields.Value(field + std::string(kUploadSuffix)));
    for (size_t i = 0; i < stored.size(); ++i) {
      const FileDigest digest = Digest(stored[i]);
      page += "<tr class=\"file\"><th>" + HtmlEscape(field) + "</th><td class=\"name\">" +
              HtmlEscape(i < sent.size() ? sent[i] : "") + "</td><td class=\"size\">" +
              std::to_string(digest.size) + "</td><td class=\"sha256\">" + digest.sha256 +
              "</td></tr>\r\n";
    }
  }
  return page + "</table>\r\n</body></html>\r\n";
}

}  // namespace upload
