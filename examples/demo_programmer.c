/* The demo package's flash programmer: a minimal freestanding ELF. The virtual
   handset's boot ROM only needs a well-formed image to load; it never runs it. */
void _start(void)
{
    for (;;)
        __asm__ volatile("");
}
