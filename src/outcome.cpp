// main: the one record of why the run ended.
#include "outcome.h"

namespace {
Outcome recorded = Outcome::kComplete;
}

void RecordOutcome(Outcome outcome) {
    if (recorded == Outcome::kComplete) recorded = outcome;
}

Outcome RunOutcome() { return recorded; }
