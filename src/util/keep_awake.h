// Keeping the machine awake while a conversion runs.
//
// The lock is logind's sleep and idle inhibitor, asked for over the system bus.
// Where there is no system bus or no logind, the request is refused quickly and
// the caller carries on without it.
#pragma once

// Asks that the system neither sleep nor go idle until end_keep_awake; returns the lock, or -1
// when the request was refused. May block up to a few seconds on an unresponsive bus.
int begin_keep_awake();

// Gives the lock back; harmless with -1.
void end_keep_awake(int lock);
