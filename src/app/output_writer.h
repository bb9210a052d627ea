#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "app/status_writer.h"
#include "capture/sample_output.h"
#include "common/byte_sink.h"

namespace lumvar::app {

// The one thread that writes standard output: it drains the sample ring to the sink as soon as the
// IO callbacks wake it, and tells the main queue (through `onNotice`, from its own thread) when a
// segment waits for its line, a drop episode is over or the capture has a notice. A write that blocks
// blocks only this thread. At a segment whose line is not out yet it waits, at most kLineWait, so
// that the line comes first; after that the samples go on and the line comes late. A wait that runs
// out while standard error's writer is still inside the same write (a parent that does not read it)
// is the last: segments are not waited for again until that writer has drained its queue, so an unread
// standard error costs the audio 200 ms once, not at every segment.
class OutputWriter {
  public:
    static constexpr std::chrono::milliseconds kLineWait{200};
    // While samples come the writer sleeps patiently, for at most this long: longer than the
    // kQuietChunks + 1 buffers of 10 ms that silence lets it sleep through, with room for jitter.
    static constexpr std::chrono::milliseconds kQuietWait{50};

    // `status` (may be null) is standard error's writer, asked whether it is stuck.
    OutputWriter(capture::SampleOutput& output, ByteSink& sink, std::function<void()> onNotice,
                 StatusProgress* status = nullptr);
    // Stops and joins the thread (the helper itself ends with _exit and never gets here).
    ~OutputWriter();
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    void start();

    // Once the sources are stopped: waits until the ring is written out up to the first segment whose
    // line is not out (none will be, the process is ending), or `deadline`. Returns whether everything
    // went out. Nothing is waited for after a failed write.
    bool finish(std::chrono::steady_clock::time_point deadline);

    // The work of one wake-up, for tests that run without the thread: writes what may go out and
    // passes a due notice on.
    void pump();
    // What the thread does when a segment's line has not come within kLineWait: its samples go on.
    void lineWaitExpired();
    // How many waits for a line ran out (the diagnostics of a parent that does not read standard error).
    std::uint64_t lineWaitsRunOut() const { return waitsRunOut_.load(std::memory_order_relaxed); }

  private:
    void run();

    capture::SampleOutput& output_;
    ByteSink& sink_;
    std::function<void()> onNotice_;
    StatusProgress* status_;
    bool skipping_ = false;  // the thread's: segments pass without waiting for their lines
    std::atomic<std::uint64_t> waitsRunOut_{0};
    std::atomic<bool> failed_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> ending_{false};  // finish() has begun: no segment is passed without its line
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable drained_;
};

}  // namespace lumvar::app
