#pragma once

// The peak resident memory of this process in kilobytes (VmHWM), or -1 where the system does
// not say. Unlike getrusage(), it starts anew at exec, so a child process measures itself.
long peakResidentKb();

// The resident memory now (VmRSS), or -1.
long residentKb();

// Starts the peak anew from the resident memory now, so that the peak of one step can be read.
// False where the system cannot.
bool resetPeakResident();

// Hands the pages of freed memory back to the system, so that a large step's leftovers do not
// stay resident under the next one.
void releaseFreedMemory();
