/* For the exported-symbols check's self-test: a function of the server's own that is visible
 * to plug-ins although the interface does not list it. Linked only into websrv-extra-export. */
__attribute__((visibility("default"))) int websrv_extra_export(void);

int websrv_extra_export(void)
{
    return 0;
}
