/* The compiled CGI program of the benchmark: prints a small fixed page and exits.
 * bench/run.sh installs it as cgi-bin/hello.cgi; cgi-bin/hello.sh prints the same page
 * from the shell, so the two CGI rows differ only in how the program starts. */
#include <stdio.h>

int main(void)
{
    fputs("Content-Type: text/html\r\n"
          "\r\n"
          "<html><head><title>Hello</title></head>\n"
          "<body><p>Hello from a CGI program.</p></body></html>\n",
          stdout);
    return 0;
}
