// Command-line parsing and plug-in loading (websrv_option_parse is declared in the public
// header, since plug-ins may call it too).
#ifndef WEBSRV_CONFIG_CFG_H
#define WEBSRV_CONFIG_CFG_H

// The version text: the Server header, the error page, the CGI environment and the banner
// all print it, and the control block's version numbers are parsed from it.
inline constexpr const char websrv_version_text[] = "1.0";

#endif
