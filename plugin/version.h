// The server's version text.
#ifndef WEBSRV_PLUGIN_VERSION_H
#define WEBSRV_PLUGIN_VERSION_H

// The Server header, the error page, the CGI environment and the banner all print it, and the
// control block's interface version numbers are parsed from it.
inline constexpr const char websrv_version_text[] = "1.0";

#endif
