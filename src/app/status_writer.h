#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_sink.h"

namespace lumvar::app {

// Standard error as the main queue sees it: status lines go into a bounded queue that one thread writes
// out, each line in one write and in order, so that a parent that does not read standard error never
// blocks the main queue (and with it the commands, the watchdog and the sources' hand-offs).
//
// The main queue writes the lines of a work item and then calls endItem(): the item's lines are queued
// together, or, when the queue is full, dropped together and counted, so that no sequence is ever cut.
// The lines a parent cannot do without (the device list, the failed start, the segment lines) are
// queued all the same. Once the queue has drained after a drop, one line says how many went.
class StatusWriter final : public ByteSink {
  public:
    static constexpr std::size_t kCapacity = 1 << 20;  // bytes queued

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
    // Runs `then` on the writer's thread once the lines before it are written; never dropped.
    void whenWritten(const std::function<void()>& then) override;
    // Between work items.
    void endItem();

    // --- the end ---
    // Waits until what is queued is written, or `deadline`; whether everything went out.
    bool finish(std::chrono::steady_clock::time_point deadline);

    // For tests that run without the thread: writes everything queued.
    void pump();
    // Lines dropped and not yet reported.
    std::uint64_t droppedLines() const { return dropped_; }

  private:
    // A line to write, or (empty) a step to take once the lines before it are written.
    struct Entry {
        std::string line;
        std::function<void()> then;
    };

    void run();
    bool writeOne();  // takes and writes the oldest queued line; false when there was none

    ByteSink& out_;
    const std::size_t capacity_;
    std::vector<Entry> item_;    // the main queue's
    std::uint64_t dropped_ = 0;  // the main queue's

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Entry> queue_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;  // a line has been taken and is being written
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace lumvar::app
