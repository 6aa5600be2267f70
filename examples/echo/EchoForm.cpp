#include "examples/echo/EchoForm.h"

#include <string>
#include <string_view>

namespace echo {

using namespace pithorama;

namespace {

constexpr const char* kVariables[] = {
    "SERVER SOFTWARE", "SERVER NAME",       "SERVER PORT", "SERVER PROTOCOL", "GATEWAY INTERFACE",
    "REQUEST METHOD",  "SCRIPT NAME",       "PATH INFO",   "QUERY STRING",    "CONTENT TYPE",
    "CONTENT LENGTH",  "REMOTE ADDR",       "REMOTE HOST", "HTTP USER AGENT", "HTTP REFERER",
    "HTTP COOKIE",     "KESTREL CGI DEBUG",
};

// One table row; the name and value come escaped.
void AddRow(std::string& page, std::string_view name, std::string_view value) {
  page.append("<tr><th>").append(name).append("</th><td>").append(value).append("</td></tr>\r\n");
}

}  // namespace

TEchoForm::TEchoForm(TComponent* owner) : TForm(owner) {
  Caption = "Echo";
  GeneralHttpEngine1 = new TGeneralHttpEngine(this);
  GeneralHttpEngine1->SetName("GeneralHttpEngine1");
  GeneralHttpEngine1->SetOnExecRequest(
      [this](TObject* Sender) { GeneralHttpEngine1ExecRequest(Sender); });
}

void TEchoForm::GeneralHttpEngine1ExecRequest(TObject*) {
  TGeneralHttpEngine& web = *GeneralHttpEngine1;
  // "redirect=URL" answers a redirect to URL instead of the page;
  // "setcookie=NAME=VALUE" sets that cookie with the page.
  const std::string redirect = web.GetField("redirect", "");
  if (!redirect.empty()) {
    web.AddHeader("Location", redirect);
    web.EndHeaders();
    return;
  }
  const std::string cookie = web.GetField("setcookie", "");
  if (!cookie.empty()) web.AddHeader("Set-Cookie", cookie + "; Path=/");
  // One string, appended to in place: the page of a request is a few KiB.
  std::string page;
  page.reserve(4096);
  page += "<html><head><title>Echo</title></head><body>\r\n<h1>Request</h1>\r\n<table>\r\n";
  for (const char* name : kVariables) AddRow(page, name, HtmlEscape(web.GetVariable(name)));
  page += "</table>\r\n<h1>Fields</h1>\r\n<table>\r\n";
  for (const std::string& field : web.GetFieldNames())
    AddRow(page, HtmlEscape(field), HtmlEscape(web.GetField(field, "")));
  page += "</table>\r\n</body></html>\r\n";
  web.Write(page);
}

}  // namespace echo
