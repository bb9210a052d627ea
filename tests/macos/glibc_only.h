// Force-included (-include) before every file the syntax check compiles. The check borrows glibc's
// headers with _GNU_SOURCE, which declare names a Mac does not have: a use of one would pass here and
// break the Mac build. So glibc's headers that declare such names are read first, here, and then the
// names go: a macro is undefined (a use is an undeclared identifier, and `#if defined(...)` is false,
// as on a Mac), a function is poisoned (any later mention is an error). Their include guards keep those
// headers from being read again, so their own declarations never meet the poison. Headers a Mac does
// not have at all (sys/prctl.h, sys/eventfd.h, sys/epoll.h) are not read here: including one fails at
// its first poisoned declaration.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
// The SDK's <stdlib.h> includes <sys/wait.h>, and with it the signal numbers; glibc's does not. Read
// here, a file that sees SIGTERM through <cstdlib> on a Mac sees it here too.
#include <sys/wait.h>

#undef F_GETPIPE_SZ
#undef F_SETPIPE_SZ
#undef MAP_POPULATE
#undef CLOCK_BOOTTIME
#undef POLLRDHUP
#undef TEMP_FAILURE_RETRY

#pragma GCC poison pipe2 dup3 memfd_create clock_nanosleep
#pragma GCC poison prctl eventfd epoll_create epoll_create1 epoll_ctl epoll_wait
