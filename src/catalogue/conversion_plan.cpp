#include "catalogue/conversion_plan.h"

conversion_plan_s& the_plan() {
    static conversion_plan_s plan; // interface thread only
    return plan;
}

bool has_merged_jobs(const conversion_plan_s& plan) {
    for (const auto& job : plan.jobs) {
        if (job.source_paths.size() > 1) {
            return true;
        }
    }
    return false;
}

void number_jobs(conversion_plan_s& plan) {
    for (std::size_t i = 0; i < plan.jobs.size(); ++i) {
        plan.jobs[i].id = i;
    }
}
