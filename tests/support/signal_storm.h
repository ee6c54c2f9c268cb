// A host whose threads are interrupted by signals all the time: a managed
// runtime suspending every thread at each garbage collection, a sampling
// profiler, a timer. With VELTO_SIGNAL_STORM=1 in the environment the test
// process installs a handler (without SA_RESTART) for a signal nothing else
// uses and sends it to every other thread of the process every 10 ms, the
// library's client threads and the calling thread of a source-table query
// among them. The library's waits must keep their length regardless.
#ifndef VELTO_TEST_SIGNAL_STORM_H
#define VELTO_TEST_SIGNAL_STORM_H

// Starts the storm when the environment asks for it. Call after the
// sandbox is entered and before any test runs.
void startSignalStormIfAsked();

#endif
