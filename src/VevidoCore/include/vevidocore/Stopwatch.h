#pragma once

// The one wall clock for timing a step: readings of the steady clock, which never jumps with a
// change of the system time.

#include <chrono>
#include <exception>

namespace vevidocore {

// Seconds since construction.
class Stopwatch {
public:
    using Clock = std::chrono::steady_clock;

    double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
    Clock::time_point start_ = Clock::now();
};

// Adds the seconds of its scope to `total`, and one to `runs` when given, as the scope ends. A
// scope left by an exception adds nothing: a failed step leaves the record as it was.
class ScopeTimer {
public:
    explicit ScopeTimer(double& total, double* runs = nullptr) : total_(total), runs_(runs) {}
    ScopeTimer(const ScopeTimer&) = delete;
    ScopeTimer& operator=(const ScopeTimer&) = delete;
    ~ScopeTimer() {
        if (std::uncaught_exceptions() != exceptions_)
            return;
        total_ += stopwatch_.seconds();
        if (runs_ != nullptr)
            *runs_ += 1;
    }

private:
    double& total_;
    double* runs_;
    int exceptions_ = std::uncaught_exceptions();
    Stopwatch stopwatch_;
};

}  // namespace vevidocore
