// A sanitizer report on purpose: check-san runs this first, to show that a
// report in a process nobody checks aborts it and leaves a log. Without the
// sanitizer options it would end with status 1, as velta normally does.
#include <climits>
#include <cstring>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "overflow") == 0) {
        int value = INT_MAX - 1;
        value += argc;  // signed overflow: UBSan
        return value == 0 ? 0 : 1;
    }
    volatile char* buffer = new char[8];  // volatile: the store must happen
    buffer[6 + argc] = 1;                 // one past the end: ASan
    delete[] buffer;
    return 1;
}
