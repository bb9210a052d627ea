// Force-included before every file the syntax check compiles against glibc's headers: the names glibc
// declares and a Mac lacks go (a macro undefined, a function poisoned), so that a use fails here as on a
// Mac. Their headers are read first, so their include guards keep their own declarations from the poison;
// a header a Mac lacks altogether (sys/prctl.h, sys/eventfd.h, sys/epoll.h) fails at its first one.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>  // as the SDK's <stdlib.h> does: SIGTERM through <cstdlib> is seen here as on a Mac
#include <time.h>
#include <unistd.h>

#undef F_GETPIPE_SZ
#undef F_SETPIPE_SZ
#undef MAP_POPULATE
#undef CLOCK_BOOTTIME
#undef POLLRDHUP
#undef TEMP_FAILURE_RETRY

#pragma GCC poison pipe2 dup3 memfd_create clock_nanosleep
#pragma GCC poison prctl eventfd epoll_create epoll_create1 epoll_ctl epoll_wait
