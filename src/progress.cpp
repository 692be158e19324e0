// The progress bar: one place for its arithmetic and its marks.
#include "progress.h"

#include "console.h"
#include "console_text.h"

ProgressBar::ProgressBar(const char* frame, uint32_t total) : step(total / 10) {
    ConsoleText(frame);
}

void ProgressBar::Advance() {
    if (step == 0) return;
    if (++count == step) {
        ConsoleText(kProgressMark);
        count = 0;
    }
}
