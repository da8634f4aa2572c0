// Reading the request header: piece by piece until its empty line, within the header deadline.
#include "read/header.h"

#include <cerrno>

#include "end/access_log.h"
#include "end/end.h"
#include "parse/request.h"
#include "read/io.h"
#include "respond/response.h"

void websrv_read_header(websrv_connection *c)
{
    websrv_session &session = c->session;
    for (;;) {
        const int room = websrv_request_capacity - session.received;
        const int got = websrv_read_until(session.socket, session.buffer + session.received,
                                          static_cast<size_t>(room), websrv_connection_desc(c), c->header_deadline);
        if (got <= 0) {
            websrv_access_read_failed(got < 0 && errno == ETIMEDOUT);
            websrv_connection_end(c, websrv_outcome::logged_failed);
        }
        log_msg(WEBSRV_LOG_DETAIL, "Received %d/%d bytes.\n", got, WEBSRV_BUFFER_SIZE);
        // A hook that claims more than it was allowed cannot push the count past the buffer.
        session.received += got < room ? got : room;
        if (websrv_header_complete(session.buffer))
            return;
        if (session.received >= websrv_request_capacity) {
            log_msg(WEBSRV_LOG_ERROR, "Error: HTTP header cannot be read; buffer exceeds.\n");
            websrv_send_error(c, 431);
            websrv_connection_end(c, websrv_outcome::logged_failed);
        }
    }
}

