// The time base of the simulated RTS: seconds on a monotonic clock. Tests
// replace it to move the fields on by hand.
#pragma once

#include <chrono>

class IRtsSimClock {
public:
    virtual ~IRtsSimClock() = default;
    virtual double Seconds() = 0;
};

class CSteadyRtsSimClock : public IRtsSimClock {
public:
    double Seconds() override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};
