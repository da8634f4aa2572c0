/* form.cgi - a compiled CGI program: answers the demo's settings form.
 *
 * It reads the form from the request body (POST, CONTENT_LENGTH bytes) or from QUERY_STRING
 * (GET), decodes the name=value pairs and shows them back as an HTML page. */
#define _POSIX_C_SOURCE 200809L /* strdup */
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

/* The form: the request body for POST, the query for anything else. *method_out names the
 * source, *length_out is the length of the form text. */
static char *read_form(const char **method_out, size_t *length_out)
{
    const char *method = getenv("REQUEST_METHOD");
    char *form;
    *method_out = method != NULL ? method : "GET";
    if (method != NULL && strcmp(method, "POST") == 0) {
        const char *length_text = getenv("CONTENT_LENGTH");
        long length = length_text != NULL ? strtol(length_text, NULL, 10) : 0;
        if (length < 0 || length > 65536)
            length = 0;
        form = calloc((size_t)length + 1, 1);
        if (form != NULL && length > 0 && fread(form, 1, (size_t)length, stdin) != (size_t)length)
            form[0] = '\0';
    } else {
        const char *query = getenv("QUERY_STRING");
        form = strdup(query != NULL ? query : "");
    }
    *length_out = form != NULL ? strlen(form) : 0;
    return form;
}

/* The top of the demo's pages: the stylesheet and the header bar with its navigation. */
static void print_page_start(void)
{
    printf("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<title>Settings saved - websrv demo</title>\n"
           "<link rel=\"icon\" href=\"/favicon.ico\">\n"
           "<link rel=\"stylesheet\" href=\"/style.css\"></head><body>\n"
           "<header class=\"bar\">"
           "<img class=\"logo\" src=\"/img/device.png\" alt=\"\" width=\"48\" height=\"48\">\n"
           "<div><h1>websrv demo device</h1>"
           "<p class=\"subtitle\">Served by websrv from a device's flash</p></div>\n"
           "<nav><a href=\"/\">Status</a> <a href=\"/form.html\" aria-current=\"page\">Settings</a> "
           "<a href=\"/update.html\">Firmware update</a></nav></header>\n");
}

int main(void)
{
    const char *method;
    size_t length;
    char *form = read_form(&method, &length);
    int fields = 0;

    printf("Content-Type: text/html\r\n\r\n");
    print_page_start();
    printf("<main><section class=\"card\" id=\"answer\">\n<h2>Settings saved</h2>\n"
           "<p class=\"note\" id=\"received\">form.cgi received %zu bytes by ", length);
    print_html(method);
    printf(":</p>\n<dl id=\"fields\" class=\"facts\">\n");
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
        ++fields;
    }
    printf("</dl>\n");
    if (fields == 0)
        printf("<p>No settings were sent.</p>\n");
    printf("<p class=\"actions\"><a href=\"/form.html\">Back to the settings</a></p>\n"
           "</section></main>\n"
           "<footer>websrv demo site &middot; one request per connection, served in turn</footer>\n"
           "</body></html>\n");
    free(form);
    return 0;
}
