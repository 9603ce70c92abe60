// The end of a run: offer to delete the sources of the completed jobs, then quit.
#pragma once

struct conversion_plan_s;

// Warns about jobs that did not complete, asks "Done!", deletes on Yes only the sources of
// completed jobs of the run's plan, then asks the host to quit. Interface thread, after the
// run has ended.
void offer_source_deletion(const conversion_plan_s& plan);

// The end of a run in place: there are no sources to delete and nothing to ask. Warns about the
// jobs that did not complete, then asks the host to quit. Interface thread, after the run.
void end_in_place_run(const conversion_plan_s& plan);
