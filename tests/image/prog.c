/* The program the image tests load: code at 0x8000, read-only data after it,
 * initialised data at 0x8100 (so that the image has a gap), and .bss, which
 * is not part of any image. Never run; only linked and converted. */
static const char message[] = "VELTA loads this at 0x8000";
int counter = 7;
int scratch[8];

void _start(void) {
    volatile const char* p = message;
    counter += p[0];
    scratch[1] = counter;
    for (;;) {
    }
}
