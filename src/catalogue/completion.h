// The end of a run: offer to delete the sources of the completed jobs, then quit.
#pragma once

struct swizzler_s;

// Warns about jobs that did not complete, asks "Done!", deletes on Yes only the sources of
// completed jobs, then asks the host to quit. Interface thread, after the run has ended.
void offer_source_deletion();

// The same for a given record.
void offer_source_deletion(swizzler_s& record);
