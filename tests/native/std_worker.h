// What the native tests' worker threads (std_worker.cpp) let a test see.
#pragma once

namespace pbtest {

// How many times a handle on a live worker was asked for (worker::Open):
// each caller that waits for another's exchange asks at least once.
int WorkerOpens();

}  // namespace pbtest
