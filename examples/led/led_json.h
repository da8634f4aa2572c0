/*
 * led_json.h - the LED example's strict reader of a request body: one JSON object whose only
 * member is "on", true or false, with any JSON white space around its tokens ({"on":true},
 * { "on" : false }). Anything else is refused with a reason the answer can carry. Kept apart
 * from led.c so that the fuzz target reads bodies with the same code.
 */
#ifndef LED_JSON_H
#define LED_JSON_H

#include <stddef.h>
#include <string.h>

/* A body read: `on` when it is well formed (error NULL); otherwise why not. */
typedef struct led_body {
    int on;
    const char *error;
} led_body;

/* The cursor over the body: where it is, where it ends. */
typedef struct led_text {
    const char *at;
    const char *end;
} led_text;

static void led_skip_space(led_text *t)
{
    while (t->at < t->end && (*t->at == ' ' || *t->at == '\t' || *t->at == '\n' || *t->at == '\r'))
        ++t->at;
}

/* Takes `word` when the text goes on with it. */
static int led_take(led_text *t, const char *word)
{
    const size_t length = strlen(word);
    if ((size_t)(t->end - t->at) < length || memcmp(t->at, word, length) != 0)
        return 0;
    t->at += length;
    return 1;
}

/* Reads a JSON string and tells whether it is exactly `name` once its escapes are decoded
 * (\" \\ \/ \b \f \n \r \t and \u followed by four hexadecimal digits). -1 when it is no
 * well-formed string: unterminated, a bad escape, or a control character. */
static int led_string_is(led_text *t, const char *name)
{
    size_t matched = 0;
    int same = 1;
    if (!led_take(t, "\""))
        return -1;
    while (t->at < t->end && *t->at != '"') {
        unsigned int c = (unsigned char)*t->at++;
        if (c < 0x20)
            return -1;
        if (c == '\\') {
            if (t->at >= t->end)
                return -1;
            c = (unsigned char)*t->at++;
            if (c == 'u') {
                int i;
                unsigned int code = 0;
                for (i = 0; i < 4; ++i) {
                    const char h = t->at < t->end ? *t->at++ : 'x';
                    const int digit = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                    : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
                    if (digit < 0)
                        return -1;
                    code = code * 16 + (unsigned int)digit;
                }
                c = code;
            } else if (strchr("\"\\/", (int)c) == NULL) {
                const char *escapes = "b\bf\fn\nr\rt\t";
                const char *found = c != 0 ? strchr(escapes, (int)c) : NULL;
                if (found == NULL || (found - escapes) % 2 != 0)
                    return -1;
                c = (unsigned char)found[1];
            }
        }
        same = same && name[matched] != '\0' && (unsigned char)name[matched] == c;
        ++matched;
    }
    if (!led_take(t, "\""))
        return -1;
    return same && name[matched] == '\0';
}

static led_body led_refused(const char *why)
{
    led_body refused = {0, why};
    return refused;
}

/* Reads `length` bytes of body. */
static led_body led_read_body(const char *body, size_t length)
{
    static const char malformed[] = "malformed JSON";
    static const char not_alone[] = "the object must hold \"on\" alone";
    led_body result = {0, NULL};
    led_text t = {body, body + length};
    int name;
    led_skip_space(&t);
    if (!led_take(&t, "{"))
        return led_refused("the body must be a JSON object");
    led_skip_space(&t);
    name = led_string_is(&t, "on");
    if (name <= 0)
        return led_refused(name < 0 ? malformed : not_alone);
    led_skip_space(&t);
    if (!led_take(&t, ":"))
        return led_refused(malformed);
    led_skip_space(&t);
    if (led_take(&t, "true"))
        result.on = 1;
    else if (!led_take(&t, "false"))
        return led_refused("\"on\" must be true or false");
    led_skip_space(&t);
    if (t.at < t.end && *t.at == ',')
        return led_refused(not_alone);
    if (!led_take(&t, "}"))
        return led_refused(malformed);
    led_skip_space(&t);
    return t.at == t.end ? result : led_refused(malformed);
}

#endif
