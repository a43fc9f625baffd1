// Replacing one file by another in a single step.
#pragma once

// Puts `from` in the place of `to`, replacing it: readers see the old file or
// the new one, never a mixture. False when it could not be done.
bool file_replace(const char* from, const char* to);

// This process's number, to keep the temporary files of two runs apart.
unsigned long process_id();
