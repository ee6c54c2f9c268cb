// The caster's source table through the library, as velto uses it beyond
// the plain list: bounded, so that a caster cannot keep velto reading, and
// on a thread of its own, so that nothing else waits for it.
#ifndef VELTO_TOOL_CORE_TABLE_LOOKUP_H
#define VELTO_TOOL_CORE_TABLE_LOOKUP_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What velto takes from one source table, and how long it waits for it. The
// library's call (VeltoSourceTable) waits up to 8 s per receive but has no
// overall bound: a caster that sends records without end, or one record
// every few seconds, keeps it reading for as long as it likes. velto makes
// the call on a thread of its own and stops waiting at these bounds.
const size_t kMaxTableNames = 10000;
const size_t kMaxTableNameBytes = 4 << 20;
const double kTableLookupSeconds = 20;

// One look-up of the caster's mount points through the library, on a thread
// that nobody waits for. Past a bound, or once the owner is gone, the thread
// stops inside the library's callback and stays there until the process
// ends: the library then reads nothing more, and its socket stays open, idle.
class TableLookup {
public:
    enum class Outcome {
        Pending,  // still reading, within the time
        Complete, // the library's call returned
        TooLarge, // more than kMaxTableNames names or kMaxTableNameBytes of them
        TimedOut, // not complete within kTableLookupSeconds
    };

    // Starts the look-up; `changed`, when given, is called on the look-up's
    // thread once it is complete or too large (never after destruction).
    explicit TableLookup(std::function<void()> changed = nullptr);
    // Abandons the look-up if it is still running; never waits for it.
    ~TableLookup();
    TableLookup(const TableLookup &) = delete;
    TableLookup &operator=(const TableLookup &) = delete;

    Outcome outcome(std::chrono::steady_clock::time_point now) const;
    std::chrono::steady_clock::time_point deadline() const { return deadline_; }
    // Waits until the outcome is no longer Pending, and returns it.
    Outcome wait() const;
    // The names so far, in the caster's order (all of them when Complete).
    std::vector<std::string> names() const;

    struct State; // shared with the look-up's thread

private:
    std::shared_ptr<State> state_;
    std::chrono::steady_clock::time_point deadline_;
};

#endif
