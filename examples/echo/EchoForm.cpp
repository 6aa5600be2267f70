#include "examples/echo/EchoForm.h"

#include <string>

namespace echo {

using namespace pithorama;

namespace {

constexpr const char* kVariables[] = {
    "SERVER SOFTWARE", "SERVER NAME",       "SERVER PORT", "SERVER PROTOCOL", "GATEWAY INTERFACE",
    "REQUEST METHOD",  "SCRIPT NAME",       "PATH INFO",   "QUERY STRING",    "CONTENT TYPE",
    "CONTENT LENGTH",  "REMOTE ADDR",       "REMOTE HOST", "HTTP USER AGENT", "HTTP REFERER",
    "HTTP COOKIE",     "KESTREL CGI DEBUG",
};

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
  std::string page =
      "<html><head><title>Echo</title></head><body>\r\n<h1>Request</h1>\r\n<table>\r\n";
  for (const char* name : kVariables)
    page += "<tr><th>" + std::string(name) + "</th><td>" + HtmlEscape(web.GetVariable(name)) +
            "</td></tr>\r\n";
  page += "</table>\r\n<h1>Fields</h1>\r\n<table>\r\n";
  for (const std::string& field : web.GetFieldNames())
    page += "<tr><th>" + HtmlEscape(field) + "</th><td>" + HtmlEscape(web.GetField(field, "")) +
            "</td></tr>\r\n";
  page += "</table>\r\n</body></html>\r\n";
  web.Write(page);
}

}  // namespace echo
