// A meeting of parties that must be at work at the same moment (two runs, two
// streams): each arrives and waits until all have arrived. A party that waits
// in vain gives up after a deadline and is counted, so that a test of "at the
// same moment" fails when the parties come one after the other. The deadline
// only ends a failing test; a passing one waits for the event, not for time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

struct meeting_point_s {
    explicit meeting_point_s(int parties) : expected(parties) {}
    std::mutex lock;
    std::condition_variable all_here;
    int expected = 0;
    int arrived = 0;
    int gave_up = 0; // parties that stopped waiting before everyone came
};

// Arrives and waits for the others; false (and counted in gave_up) when they did not all come
// within `patience`.
bool meet(meeting_point_s& point, std::chrono::seconds patience = std::chrono::seconds(30));
