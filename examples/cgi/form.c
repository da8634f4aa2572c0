/* form.cgi - a compiled CGI program: answers the demo's settings form.
 *
 * It reads the form from the request body (POST, CONTENT_LENGTH bytes) or from QUERY_STRING
 * (GET), decodes the name=value pairs and shows them back as an HTML page. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int hex_value(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Decodes one form field in place: "+" is a blank, "%XY" a byte. */
static void decode_field(char *text)
{
    char *out = text;
    for (; *text != '\0'; ++text) {
        if (*text == '+') {
            *out++ = ' ';
        } else if (*text == '%' && hex_value(text[1]) >= 0 && hex_value(text[2]) >= 0) {
            *out++ = (char)(hex_value(text[1]) * 16 + hex_value(text[2]));
            text += 2;
        } else {
            *out++ = *text;
        }
    }
    *out = '\0';
}

/* Prints text with the characters that mean something in HTML escaped. */
static void print_html(const char *text)
{
    for (; *text != '\0'; ++text) {
        switch (*text) {
        case '<': fputs("&lt;", stdout); break;
        case '>': fputs("&gt;", stdout); break;
        case '&': fputs("&amp;", stdout); break;
        case '"': fputs("&quot;", stdout); break;
        default: putchar(*text);
        }
    }
}

/* The form: the request body for POST, the query for anything else. */
static char *read_form(void)
{
    const char *method = getenv("REQUEST_METHOD");
    if (method != NULL && strcmp(method, "POST") == 0) {
        const char *length_text = getenv("CONTENT_LENGTH");
        long length = length_text != NULL ? strtol(length_text, NULL, 10) : 0;
        if (length < 0 || length > 65536)
            length = 0;
        char *body = calloc((size_t)length + 1, 1);
        if (body != NULL && length > 0 && fread(body, 1, (size_t)length, stdin) != (size_t)length)
            body[0] = '\0';
        return body;
    }
    const char *query = getenv("QUERY_STRING");
    return strdup(query != NULL ? query : "");
}

int main(void)
{
    char *form = read_form();
    printf("Content-Type: text/html\r\n\r\n");
    printf("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<title>Settings saved</title></head><body>\n<h1>Settings saved</h1>\n<dl id=\"fields\">\n");
    for (char *pair = form != NULL ? strtok(form, "&") : NULL; pair != NULL; pair = strtok(NULL, "&")) {
        char *value = strchr(pair, '=');
        if (value != NULL)
            *value++ = '\0';
        decode_field(pair);
        printf("<dt>");
        print_html(pair);
        printf("</dt><dd>");
        if (value != NULL) {
            decode_field(value);
            print_html(value);
        }
        printf("</dd>\n");
    }
    printf("</dl>\n<p><a href=\"/form.html\">Back</a></p>\n</body></html>\n");
    free(form);
    return 0;
}
