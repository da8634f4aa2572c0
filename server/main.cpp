// The executable's entry point.
#include "life/web_server.h"
#include "websrv_plugin.h"

WEBSRV_API int main(int argc, char **argv)
{
    return websrv_run(argc, argv);
}
