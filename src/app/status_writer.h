#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_sink.h"

namespace lumvar::app {

// What the output writer may ask of standard error's writer, from its own thread.
class StatusProgress {
  public:
    virtual ~StatusProgress() = default;
    // The number of the write under way (every write has a number of its own), or 0 while none is.
    virtual std::uint64_t writeUnderWay() const = 0;
    // Whether every queued line is written.
    virtual bool drained() = 0;
};

// Standard error as the main queue sees it: status lines go into a bounded queue that one thread writes
// out, each line in one write and in order, so that a parent that does not read standard error never
// blocks the main queue (and with it the commands, the watchdog and the sources' hand-offs).
//
// The main queue writes the lines of a work item and then calls endItem(): the item's lines are queued
// together, or, when more than kCapacity bytes wait, dropped together and counted, so that no sequence
// is ever cut. Lines a parent cannot do without are queued all the same: the failed start, and the device
// list (past the bound, only the newest waits: older ones not yet written go, counted). Segment lines
// and the lines that name the source of the segments after them are kept too, but at most
// kMaxSegmentLines of them wait: beyond that anchors go first and source lines that another follows at
// once (counted as dropped lines), then the oldest waiting segment line is merged into the next one,
// which is then written after "  ! segment lines merged: <n> starts between frames <a> and <b>". Once
// the queue has drained after a drop, one line says how many went.
class StatusWriter final : public ByteSink, public StatusProgress {
  public:
    static constexpr std::size_t kCapacity = 1 << 20;  // bytes queued
    static constexpr std::size_t kMaxSegmentLines = 64;

    explicit StatusWriter(ByteSink& out, std::size_t capacity = kCapacity);
    // Stops and joins the thread (the helper itself ends with _exit and never gets here).
    ~StatusWriter() override;
    StatusWriter(const StatusWriter&) = delete;
    StatusWriter& operator=(const StatusWriter&) = delete;

    void start();

    // --- the main queue ---
    // One line of the work item under way.
    bool write(std::span<const std::byte> bytes) override;
    using ByteSink::write;
    void writeSegmentLine(std::string_view line, std::uint64_t frame, bool anchor,
                          const std::function<void()>& written) override;
    // Between work items.
    void endItem();

    // --- the end ---
    // Waits until what is queued is written, or `deadline`; whether everything went out.
    bool finish(std::chrono::steady_clock::time_point deadline);

    // --- the output writer ---
    std::uint64_t writeUnderWay() const override { return inWrite_.load(std::memory_order_acquire); }
    bool drained() override;

    // For tests that run without the thread: writes everything queued.
    void pump();
    // Lines dropped and not yet reported.
    std::uint64_t droppedLines() const { return dropped_; }

  private:
    struct Segment {
        std::uint64_t frame = 0;
        bool anchor = false;
        std::uint64_t announcements = 1;  // how often `then` runs: its own and those of lines merged into it
        std::uint64_t mergedStarts = 0;   // starts merged into it, whose lines are lost
        std::uint64_t mergedFrom = 0;     // the first of their frames
        bool source = false;              // a line that names the source of the segments after it
    };
    // A line to write, with what to run once it is written.
    struct Entry {
        std::string line;
        std::function<void()> then;
        std::optional<Segment> segment;
    };

    void run();
    bool writeOne();  // takes and writes the oldest queued line; false when there was none
    // The main queue's, with mutex_ held.
    void queueSegment(Entry entry);
    void makeRoomForSegment(Entry& incoming);
    void dropOlderDeviceLists();

    ByteSink& out_;
    const std::size_t capacity_;
    std::vector<Entry> item_;    // the main queue's
    std::uint64_t dropped_ = 0;  // the main queue's

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Entry> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t queuedSegments_ = 0;
    bool writing_ = false;  // a line has been taken and is being written
    bool stopping_ = false;
    std::uint64_t writes_ = 0;  // the writer thread's
    std::atomic<std::uint64_t> inWrite_{0};
    std::thread thread_;
};

}  // namespace lumvar::app
