// lumvar-capture: captures what the machine plays, or one input device, for the parent process that
// started it. Commands on standard input, samples on standard output, status lines on standard error.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "app/run_helper.h"

namespace {

// A standard input or error that the parent closed keeps its number, on /dev/null: otherwise the first
// descriptor the helper opens (a socket to the sound server, a wake-up pipe) would take it, and be read
// as commands or written with status lines. (A closed standard output stays closed: its first write
// reports EBADF and ends the process.)
void holdClosed(int fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) return;
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0 || null == fd) return;
    ::dup2(null, fd);
    ::close(null);
}

}  // namespace

int main() {
    const pid_t parent = getppid();  // first of all, before anything can take a while
    holdClosed(STDIN_FILENO);
    holdClosed(STDERR_FILENO);
    lumvar::app::runHelper(parent);
}
