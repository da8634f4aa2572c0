// Whether a connection carries the next request: the only writer of c->keep and c->may_keep.
#include "keep.h"

namespace {

// The most requests one connection carries; the answer to the last says it closes.
constexpr int most_requests = 1000;

}  // namespace

void websrv_keep_reset(websrv_connection *c)
{
    c->keep = c->may_keep = false;
}

void websrv_keep_from_request(websrv_connection *c, bool asks, bool waits_to_send)
{
    // A chunked body has no length the server could find its end by before it reads it: the
    // connection ends with the answer.
    c->may_keep = (c->lasting & WEBSRV_LASTING_KEEP_ALIVE) != 0 && c->requests < most_requests && !c->chunked && asks;
    // Most answers leave the body unread: then it is read and dropped after the answer, when
    // it is short and the client sends it without waiting to be told to. The CGI gateway reads
    // the body itself and may keep the connection whatever its length.
    c->keep = c->may_keep && c->body_left <= websrv_most_dropped && !waits_to_send;
}

void websrv_keep_body_read(websrv_connection *c)
{
    c->keep = c->may_keep;
}

bool websrv_keep_answer(websrv_connection *c, bool framed)
{
    c->keep = c->keep && framed && (c->body_length == 0 || c->body_taken) && !c->chunked;
    return c->keep;
}

void websrv_keep_lost(websrv_connection *c)
{
    c->keep = false;
}

bool websrv_keep_if(websrv_connection *c, bool fine)
{
    c->keep = c->keep && fine;
    return fine;
}
