// The progress bar: one place for its arithmetic and its marks, and for the
// --progress line on the error stream.
#include "progress.h"

#include <cstdio>
#include <string>

#include "console.h"
#include "console_text.h"
#include "settings.h"

namespace {

// At most four redraws a second: enough to see it move, too few to cost.
constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
// 8N1: a start bit, 8 data bits and a stop bit, so the figure compares with -B.
constexpr uint64_t kLineBitsPerByte = 10;

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

unsigned long BitsPerSecond(uint32_t bytes, double seconds) {
    return seconds > 0 ? static_cast<unsigned long>(bytes * kLineBitsPerByte / seconds) : 0;
}

}  // namespace

ProgressBar::ProgressBar(const char* frame, uint32_t count, uint32_t moving)
    : step(count / 10),
      detailed(settings.progress),
      sharedLine(detailed && ConsoleSharedLine()),
      total(moving),
      start(Clock::now()),
      drawn(start) {
    ConsoleText(frame);
    if (detailed) Draw(start);
}

ProgressBar::~ProgressBar() {
    if (!detailed) return;
    const Clock::time_point now = Clock::now();
    Draw(now);
    const double seconds = Seconds(now - start);
    const unsigned long tenths = static_cast<unsigned long>(seconds * 10 + 0.5);
    char summary[160];
    std::snprintf(summary, sizeof summary, Localized(kProgressSummary), static_cast<unsigned long>(moved), tenths / 10,
                  tenths % 10, BitsPerSecond(moved, seconds));
    ConsoleErrorIfReady(summary);
}

void ProgressBar::Advance() {
    if (detailed) {
        ++moved;
        const Clock::time_point now = Clock::now();
        if (now - drawn >= kRedrawInterval) Draw(now);
    }
    if (step == 0) return;
    if (++count == step) {
        ConsoleText(kProgressMark);
        count = 0;
    }
}

void ProgressBar::Draw(Clock::time_point now) {
    drawn = now;
    const double seconds = Seconds(now - start);
    const unsigned long percent =
        total == 0 || moved >= total ? 100 : static_cast<unsigned long>(uint64_t(moved) * 100 / total);
    char left[32] = "--:--";
    if (moved > 0 && seconds > 0 && moved <= total) {
        const unsigned long s = static_cast<unsigned long>((total - moved) * seconds / moved + 0.5);
        if (s >= 3600)
            std::snprintf(left, sizeof left, "%lu:%02lu:%02lu", s / 3600, s / 60 % 60, s % 60);
        else
            std::snprintf(left, sizeof left, "%lu:%02lu", s / 60, s % 60);
    }
    // On a terminal that standard output shares, the line starts with the
    // bar as standard output left it and the cursor goes back to where it
    // stood, so the next mark lands on its dash and the figures stay beside it.
    const uint32_t marks = step ? moved / step : 0;
    const std::string drawnMarks(marks, 'o');
    std::string bar;
    if (sharedLine)
        bar = "|" + drawnMarks + (marks < 10 ? std::string(10 - marks, '-') : "") + (marks <= 10 ? "| " : " ");
    char figures[160];
    std::snprintf(figures, sizeof figures, Localized(kProgressLine), percent, static_cast<unsigned long>(moved),
                  static_cast<unsigned long>(total), BitsPerSecond(moved, seconds), left);
    // All of it or nothing: the line is optional, and an error stream that
    // cannot take it now must not hold up the transfer.
    ConsoleErrorIfReady("\r" + bar + figures + (sharedLine ? "\r|" + drawnMarks : std::string()));
}
