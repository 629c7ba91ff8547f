// Waits until it is ended (at most two minutes, so a crashed test leaves
// nothing running for long).
#include <unistd.h>

int main() {
    for (int i = 0; i < 120; ++i) ::sleep(1);
    return 0;
}
