/* Compiled for the device's data model by abi_layout_test.sh: including the header runs its
 * layout assertions. With WEBSRV_ABI_CHECK_BREAK the header's 16-bit fields are widened to
 * 32 bits, which shifts every offset behind them; that build has to fail on the assertions,
 * which proves they are live on this compiler. */
#ifdef WEBSRV_ABI_CHECK_BREAK
#include <stddef.h>
#include <stdio.h>
#include <time.h>
#include <sys/types.h>
#include <sys/select.h>
#include <netinet/in.h>
#define short int
#endif
#include "websrv_plugin.h"

int websrv_abi_check_anchor(void);
int websrv_abi_check_anchor(void)
{
    return (int)sizeof(websrv_mcb_t);
}
