// Test support: the parts of the Wine target that Wine-only cases use
// directly. A COM port under Wine is a link in the prefix's dosdevices
// folder; these name and make such links.
#pragma once

#include <string>

// Makes COM<port> of the test prefix open the terminal at slavePath.
// Throws when the prefix is not set up (run the cases through tests/wine/run.sh).
void LinkWinePort(int port, const std::string& slavePath);

// The COM number the Wine target gives a pseudo-terminal: 1 to 255, taken
// from the terminal's own number, so that cases running at the same time in
// other processes never pick the same port.
int WinePortFor(const std::string& slavePath);
