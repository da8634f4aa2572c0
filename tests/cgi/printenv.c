/* printenv - a CGI program for the tests: prints its arguments, its whole environment in
 * order, and what it read from standard input.
 *
 * Standard input is read to its end when REQUEST_METHOD is "POST" exactly. With the single
 * argument "interactive" it first prints "ready" (so the client knows the program runs),
 * then reads exactly CONTENT_LENGTH bytes, since standard input may be the open socket. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern char **environ;

/* FNV-1a, to report a body without printing it. */
static unsigned long fold(unsigned long hash, const unsigned char *data, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ data[i]) * 16777619UL & 0xffffffffUL;
    return hash;
}

static void report_input(long limit)
{
    unsigned char buffer[65536];
    unsigned long hash = 2166136261UL;
    long total = 0;
    for (;;) {
        size_t want = sizeof buffer;
        if (limit >= 0 && (long)want > limit - total)
            want = (size_t)(limit - total);
        if (want == 0)
            break;
        const size_t got = fread(buffer, 1, want, stdin);
        if (got == 0)
            break;
        hash = fold(hash, buffer, got);
        total += (long)got;
    }
    printf("input_length=%ld\ninput_hash=%08lx\n", total, hash);
}

int main(int argc, char **argv)
{
    const char *method = getenv("REQUEST_METHOD");
    const int interactive = argc == 2 && strcmp(argv[1], "interactive") == 0;
    printf("Content-Type: text/plain\r\n\r\n");
    if (interactive) {
        printf("ready\n");
        fflush(stdout);
    }
    printf("argc=%d\n", argc);
    for (int i = 0; i < argc; ++i)
        printf("argv[%d]=[%s]\n", i, argv[i]);
    for (char **entry = environ; *entry != NULL; ++entry)
        printf("env=[%s]\n", *entry);
    if (interactive) {
        const char *length = getenv("CONTENT_LENGTH");
        report_input(length != NULL ? atol(length) : 0);
    } else if (method != NULL && strcmp(method, "POST") == 0) {
        report_input(-1);
    }
    return 0;
}
