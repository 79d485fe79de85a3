// The program's queue of notices as a reference model sees it: notices leave it only from the
// front, for their balloon, and a pass adds notices at the front or at the back of those
// waiting, whose order it keeps.
#pragma once

#include <string>
#include <vector>

namespace sim {

class QueueModel {
  public:
    // One notice of the queue as it stands now, front first.
    struct Entry {
        std::wstring id;
        bool twice = false;    // it stands in the queue a second time
        bool waiting = false;  // it waited in the queue already
        bool inFront = false;  // newly queued in front of every notice that waited
    };
    struct Observation {
        std::vector<Entry> entries;
        bool orderKept = true;   // none that waited was lost or moved out of its order
        bool anyWaited = false;  // some notice that waited still does
    };

    // Compares the program's queue (front first) with the one remembered, and remembers it. A
    // notice whose balloon is being requested has left the queue, from its front: `requested`
    // names it, or is null.
    Observation Observe(const std::vector<std::wstring>& queue, const std::wstring* requested);

  private:
    std::vector<std::wstring> waiting_;
};

}  // namespace sim
