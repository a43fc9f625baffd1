// Who besides its owner may read a file.
#pragma once

// False when the file cannot be looked at. Otherwise true, with
// *open_to_others set when its group or others may read or write it. On
// Windows the folder's access list guards files, so it is never set there.
bool file_private(const char* path, bool* open_to_others);
