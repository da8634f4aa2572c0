// http.so's side of the TLS interface in stock.h: it has no TLS port, so each part does nothing.
#include "stock.h"

const char stock_name[] = "http";

int tls_register(websrv_plugin_desc *)
{
    return 0;
}

std::span<const stock_option> tls_options()
{
    return {};
}

int tls_start()
{
    return 0;
}

int tls_session_init(websrv_session *)
{
    return 0;
}

int tls_redirect(websrv_session *)
{
    return 1;
}

int tls_event(int)
{
    return 0;
}
