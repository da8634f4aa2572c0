/* tp_noinit - a shared object that loads fine but is no plug-in: it exports a function, but
 * not plugin_init, so the server must refuse to initialise it. */

int tp_noinit_answer(void);

int tp_noinit_answer(void)
{
    return 42;
}
