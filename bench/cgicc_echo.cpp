// A peer of the echo program on cgicc (Debian's libcgicc-dev), for the CGI
// row of bench/run: the same request variables and form fields in the same
// page, linked like the project's programs (static libstdc++, cgicc's static
// library).
#include <cgicc/CgiEnvironment.h>
#include <cgicc/Cgicc.h>

#include <iostream>
#include <string>

namespace {

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void Row(std::string& page, const std::string& name, const std::string& value) {
  page += "<tr><th>" + name + "</th><td>" + Escaped(value) + "</td></tr>\r\n";
}

}  // namespace

int main() {
  cgicc::Cgicc cgi;
  const cgicc::CgiEnvironment& env = cgi.getEnvironment();
  std::string page =
      "<html><head><title>Echo</title></head><body>\r\n<h1>Request</h1>\r\n<table>\r\n";
  Row(page, "SERVER SOFTWARE", env.getServerSoftware());
  Row(page, "SERVER NAME", env.getServerName());
  Row(page, "SERVER PORT", std::to_string(env.getServerPort()));
  Row(page, "SERVER PROTOCOL", env.getServerProtocol());
  Row(page, "GATEWAY INTERFACE", env.getGatewayInterface());
  Row(page, "REQUEST METHOD", env.getRequestMethod());
  Row(page, "SCRIPT NAME", env.getScriptName());
  Row(page, "PATH INFO", env.getPathInfo());
  Row(page, "QUERY STRING", env.getQueryString());
  Row(page, "CONTENT TYPE", env.getContentType());
  Row(page, "CONTENT LENGTH", std::to_string(env.getContentLength()));
  Row(page, "REMOTE ADDR", env.getRemoteAddr());
  Row(page, "REMOTE HOST", env.getRemoteHost());
  Row(page, "HTTP USER AGENT", env.getUserAgent());
  Row(page, "HTTP REFERER", env.getReferrer());
  Row(page, "HTTP COOKIE", env.getCookies());
  page += "</table>\r\n<h1>Fields</h1>\r\n<table>\r\n";
  for (const cgicc::FormEntry& field : *cgi) Row(page, Escaped(field.getName()), field.getValue());
  page += "</table>\r\n</body></html>\r\n";
  std::cout << "HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n" << page;
  return 0;
}
