#include "support/meeting_point.h"

bool meet(meeting_point_s& point, std::chrono::seconds patience) {
    std::unique_lock<std::mutex> hold(point.lock);
    ++point.arrived;
    point.all_here.notify_all();
    if (point.all_here.wait_for(hold, patience, [&] { return point.arrived >= point.expected; })) {
        return true;
    }
    ++point.gave_up;
    return false;
}
