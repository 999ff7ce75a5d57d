// Rows handed from a thread that reads them to one that uses them, in batches of reused
// buffers, so that the two overlap on two cores (the compactor reads the source's rows
// while it writes the output). Either side may stop early: a failure while reading is
// rethrown to the user of the rows; a user that stops closes the pipe, and the reader
// then stops when it needs its next batch. `Row` is a row type with `bytes` and
// `long_values` (each with a `value` and `pieces`), which size the batches by the memory
// they hold (a long value given as pieces holds the pages they lie on).
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

namespace kelbrook::jet {

template <class Row>
class Row_Pipe {
public:
    struct Closed {};

    // Reader: the row to fill next (its buffers are the ones of an earlier row, to be
    // overwritten). Throws Closed once the user has stopped.
    Row& Slot() {
        if (filling_ == None) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return closed_ || !free_.empty(); });
            if (closed_) throw Closed{};
            filling_ = free_.back();
            free_.pop_back();
        }
        Batch& batch = batches_[filling_];
        if (batch.count == batch.rows.size()) batch.rows.emplace_back();
        return batch.rows[batch.count];
    }
    // Reader: the row in Slot() is complete.
    void Commit() {
        Batch& batch = batches_[filling_];
        const Row& row = batch.rows[batch.count++];
        batch.bytes += row.bytes.size();
        for (const auto& lv : row.long_values) {
            batch.bytes += lv.value.size();
            for (const auto& piece : lv.pieces) batch.bytes += piece.bytes.size();
        }
        if (batch.count >= Batch_Rows || batch.bytes >= Batch_Bytes) Hand_Over();
    }
    // Reader: true while the user has more than two full batches still to take: it is
    // slower than the reader then (a hint, read without waiting).
    bool User_Behind() const { return waiting_.load(std::memory_order_relaxed) > 2; }
    // Reader: no more rows; `failure` (if any) goes to the user.
    void Finish(std::exception_ptr failure) {
        if (filling_ != None && batches_[filling_].count > 0) Hand_Over();
        std::lock_guard lock(mutex_);
        finished_ = true;
        failure_ = failure;
        changed_.notify_all();
    }
    // User: every row, in order, until the reader finishes; rethrows its failure.
    void Drain(const std::function<void(const Row&)>& use) {
        for (;;) {
            std::size_t index;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return finished_ || !ready_.empty(); });
                if (ready_.empty()) break;
                index = ready_.front();
                ready_.pop_front();
                waiting_.store(ready_.size(), std::memory_order_relaxed);
            }
            Batch& batch = batches_[index];
            for (std::size_t r = 0; r < batch.count; ++r) use(batch.rows[r]);
            batch.count = 0;
            batch.bytes = 0;
            std::lock_guard lock(mutex_);
            free_.push_back(index);
            changed_.notify_all();
        }
        if (failure_) std::rethrow_exception(failure_);
    }
    // User: stops the reader.
    void Close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

private:
    static constexpr std::size_t None = SIZE_MAX;
    // Rows a batch, or half a megabyte. Each batch handed over may wake the other thread,
    // which on a virtual machine costs tens of microseconds: batches of 256 rows of a
    // 200-byte row table spent a tenth of the rows' time on it. The bytes bound what the
    // slots keep of the rows they held (a megabyte a batch: 5 MiB more at the peak for
    // 1 GB of 1 KB rows).
    static constexpr std::size_t Batch_Rows = 1024;
    static constexpr std::size_t Batch_Bytes = std::size_t{512} << 10;
    struct Batch {
        std::vector<Row> rows;
        std::size_t count = 0;
        std::size_t bytes = 0;
    };
    void Hand_Over() {
        std::lock_guard lock(mutex_);
        ready_.push_back(filling_);
        waiting_.store(ready_.size(), std::memory_order_relaxed);
        filling_ = None;
        changed_.notify_all();
    }
    std::array<Batch, 4> batches_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::size_t> free_{0, 1, 2, 3};
    std::deque<std::size_t> ready_;
    std::atomic<std::size_t> waiting_{0};  // ready_.size(), for User_Behind
    std::size_t filling_ = None;  // the reader's batch
    bool finished_ = false, closed_ = false;
    std::exception_ptr failure_;
};

// Runs `read(pipe)` on a second thread, which fills the pipe's slots, while this thread
// hands each row to `use`, in order. The reader's failure is rethrown here; when `use`
// throws, the reader is stopped and joined first. False when no thread can be started
// (nothing was read then).
template <class Row>
bool Read_Beside(const std::type_identity_t<std::function<void(Row_Pipe<Row>&)>>& read,
                 const std::type_identity_t<std::function<void(const Row&)>>& use) {
    Row_Pipe<Row> pipe;
    std::thread reader;
    try {
        reader = std::thread([&] {
            std::exception_ptr failure;
            try {
                read(pipe);
            } catch (const typename Row_Pipe<Row>::Closed&) {
            } catch (...) {
                failure = std::current_exception();
            }
            pipe.Finish(failure);
        });
    } catch (const std::system_error&) {
        return false;
    }
    try {
        pipe.Drain(use);
    } catch (...) {
        pipe.Close();
        reader.join();
        throw;
    }
    reader.join();
    return true;
}

}  // namespace kelbrook::jet
