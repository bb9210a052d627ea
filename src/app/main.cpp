// lumvar-capture: captures what the machine plays, or one input device, for the parent process that
// started it. Commands on standard input, samples on standard output, status lines on standard error.
#include <unistd.h>

#include "app/run_helper.h"

int main() {
    const pid_t parent = getppid();  // first of all, before anything can take a while
    lumvar::app::runHelper(parent);
}
