// Several mount points in one process, one library handle each, and what
// velto does about what happens to them: a permanent refusal (not found,
// not authorised, not implemented) stops that mount point, because the
// library's own retry cannot change the answer; a mount point whose output
// fails stops; a "not found" brings the caster's list of mount points,
// closest names first, from a look-up that velto bounds (core/table_lookup.h). Whatever shows the results (velto stream's lines and
// JSON events, a dashboard) takes them from collect() on its own thread.
#ifndef VELTO_TOOL_CORE_MOUNT_SET_H
#define VELTO_TOOL_CORE_MOUNT_SET_H

#include <stddef.h>

#include <memory>
#include <string>
#include <vector>

#include "core/session.h"
#include "core/table_lookup.h"

struct SetEvent {
    enum Kind { Status, Offered, OutputFailed, Analysis };
    SetEvent(Kind what, size_t which) : kind(what), index(which) {}

    Kind kind;
    size_t index;                      // which mount point
    StatusChange change;               // Status
    bool retries = false;              // Status: the library tries again after its pause
    std::vector<std::string> offered;  // Offered: the caster's mount points, closest first
    bool offeredComplete = true;       // Offered: false when the table was cut at a bound
    int error = 0;                     // OutputFailed: errno
    analysis::Event noticed;           // Analysis: what the stream analysis noticed
};

class MountSet {
public:
    // retryRefused: leave refused mount points to the library's retry.
    MountSet(bool retryRefused, const analysis::Options &analysisOptions, Wakeup *wakeup);
    ~MountSet();

    void add(const std::string &mount, int clientNumber, int outputFd, bool closeOutput);
    size_t size() const { return sessions_.size(); }
    MountSession &at(size_t index) { return *sessions_[index]; }
    const MountSession &at(size_t index) const { return *sessions_[index]; }

    void startAll(SteadyClock::time_point runStart);
    // What happened since the last call, in order per mount point, with the
    // stops it called for already made.
    std::vector<SetEvent> collect();
    // Closes the stream analysis's interval of every mount point.
    void rollIntervals(WallClock::time_point now);
    // Every mount point has stopped for a reason of its own.
    bool allStopped() const;
    // A "not found" waits for the names on offer, until the look-up's
    // deadline at most.
    bool offersPending(SteadyClock::time_point now) const;
    SteadyClock::time_point offersDeadline() const;
    bool allEnded() const;
    void stopAll();
    // Destroys every handle (waiting for the client threads). A source-table
    // look-up still under way is not waited for: the library's call has no
    // overall deadline.
    void destroyAll();
    // The worst ending of all mount points (see Ending).
    Ending worstEnding() const;

private:
    void lookUpOffers(size_t index);
    void offerLookedUpNames(std::vector<SetEvent> *events);

    const bool retryRefused_;
    const analysis::Options analysisOptions_;
    Wakeup *const wakeup_;
    std::vector<std::unique_ptr<MountSession>> sessions_;
    std::vector<bool> outputFailureTold_;

    // The source table is fetched once, on a thread of its own: it may take
    // many seconds, and the other mount points must not wait for it.
    std::unique_ptr<TableLookup> lookup_;
    std::vector<size_t> waitingForOffers_;
};

#endif
