// The executable's entry point.
#include "server.h"

WEBSRV_API int main(int argc, char **argv)
{
    return websrv_run(argc, argv);
}
