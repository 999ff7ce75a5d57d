// A job run on a second thread while the caller goes on with its own work; where no
// thread can be started, the job runs in Finish instead, so the outcome is the same.
//
//   Beside flush([&] { Flush_To_Disk(path); });
//   ... read the file back ...
//   flush.Finish();  // waits; rethrows what the job threw
//
// The destructor waits too (a caller unwinding from its own failure), dropping whatever
// the job threw. Nothing interrupts the job: one that should stop early when its caller
// fails checks a flag of its own.
#pragma once

#include <exception>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

namespace kelbrook::jet {

class Beside {
public:
    explicit Beside(std::function<void()> job) : job_(std::move(job)) {
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
        }
    }
    ~Beside() {
        if (thread_.joinable()) thread_.join();
    }
    Beside(const Beside&) = delete;
    Beside& operator=(const Beside&) = delete;

    void Finish() {
        if (thread_.joinable())
            thread_.join();
        else if (job_)
            Run();
        job_ = nullptr;
        if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
    }

private:
    void Run() noexcept {
        try {
            job_();
        } catch (...) {
            failure_ = std::current_exception();
        }
    }
    std::function<void()> job_;
    std::exception_ptr failure_;
    std::thread thread_;
};

}  // namespace kelbrook::jet
