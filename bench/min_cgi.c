/* The floor of a CGI hit: a minimal C program that prints a fixed page. */
#include <stdio.h>

int main(void) {
  fputs(
      "HTTP/1.0 200 OK\r\ncontent-type:text/html\r\n\r\n"
      "<html><body><p>Hello</p></body></html>\r\n",
      stdout);
  return 0;
}
