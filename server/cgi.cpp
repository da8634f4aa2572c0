// The CGI gateway.
#include "cgi.h"

#include "response.h"

void websrv_cgi_run(websrv_session *session, char *, const websrv_plugin_desc *)
{
    websrv_send_error(session, 501, "Not Implemented");
}
