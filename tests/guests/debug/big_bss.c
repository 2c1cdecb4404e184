/* big_bss: 128 MiB of zeroed data of which the program touches eight pages, then a null load. A debugged run's
   checkpoints must cost what it touched, not what it maps. */
static char big[128 << 20];

int main(void)
{
    for (int i = 0; i < 3000000; i++)
        big[(i & 7) * 4096] += 1;
    return *(volatile int *)0;
}
