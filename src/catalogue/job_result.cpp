#include "catalogue/job_result.h"

#include "util/log.h"

void fail_job(conversion_job_s& job, std::string reason) {
    if (job.state == job_state::failed) {
        log_message("%s also failed: %s\n", job.output_path.c_str(), reason.c_str());
        return;
    }
    // A completed job has its final name: a later step cannot undo that, only say so.
    if (!always(job.state != job_state::completed, "catalogue", 20)) {
        log_message("%s failed after it completed: %s\n", job.output_path.c_str(), reason.c_str());
    }
    job.state = job_state::failed;
    job.failure = std::move(reason);
}

bool complete_job(conversion_job_s& job) {
    if (job.state != job_state::planned) {
        return false;
    }
    job.state = job_state::completed;
    return true;
}

void set_job_existing(conversion_job_s& job) {
    if (job.state == job_state::planned) {
        job.state = job_state::existing;
    }
}

bool job_failed(const conversion_job_s& job) {
    return job.state == job_state::failed;
}
