#include "queue_model.h"

#include <algorithm>
#include <set>

namespace sim {

QueueModel::Observation QueueModel::Observe(const std::vector<std::wstring>& queue,
                                            const std::wstring* requested) {
    std::vector<std::wstring> now;
    if (requested != nullptr) {
        now.push_back(*requested);
    }
    now.insert(now.end(), queue.begin(), queue.end());
    const auto waited = [this](const std::wstring& id) {
        return std::find(waiting_.begin(), waiting_.end(), id) != waiting_.end();
    };

    Observation observation;
    std::vector<std::wstring> kept;
    for (const std::wstring& id : now) {
        if (waited(id)) {
            kept.push_back(id);
        }
    }
    observation.orderKept = kept == waiting_;
    observation.anyWaited = !kept.empty();

    std::size_t keptSeen = 0;
    std::set<std::wstring> ids;
    for (const std::wstring& id : now) {
        Entry entry;
        entry.id = id;
        entry.twice = !ids.insert(id).second;
        entry.waiting = waited(id);
        entry.inFront = keptSeen == 0;
        if (entry.waiting) {
            ++keptSeen;
        }
        observation.entries.push_back(entry);
    }

    waiting_.assign(now.begin() + (requested != nullptr ? 1 : 0), now.end());
    return observation;
}

}  // namespace sim
