// Finding one directive's value in the daemon's configuration file.
#pragma once

// The value of the first line of the file at config_path that starts (after white space, case
// ignored) with directive, as a new string the caller frees; null when an argument is null
// (EINVAL), the file cannot be opened, no line matches, or memory runs out.
char *util_scan_config(const char *config_path, const char *directive);
