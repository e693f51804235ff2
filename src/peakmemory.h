#pragma once

// The peak resident memory of this process in kilobytes (VmHWM), or -1 where the system does
// not say. Unlike getrusage(), it starts anew at exec, so a child process measures itself.
long peakResidentKb();
