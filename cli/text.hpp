// Small text routines the option parser and the run flow share: trimming,
// list splitting, environment expansion and host-path checks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Without leading and trailing spaces, tabs, carriage returns and newlines.
std::string trim(std::string_view text);

// Splits on the first character of `separators` that occurs in `text`
// (tried in the order given); pieces are trimmed and empty ones dropped.
// With none of them present the whole text is the one element.
std::vector<std::string> split_list(std::string_view text, std::string_view separators);

// The device prefix of the shadow copies: a copy's number follows it.
std::string shadow_copy_prefix();

// Replaces each %NAME% by the value of that environment variable. With
// `vss_shortcut`, an unset %vss% becomes the shadow-copy prefix. Other unset
// names stay as they are; texts over 512 bytes are returned unchanged.
std::string expand_env_path(std::string_view text, bool vss_shortcut);

// The absolute form of a host path: quotes become spaces, the result is
// trimmed, paths that start with two backslashes or two slashes are kept,
// others are resolved against the current directory. "" on failure.
std::string make_absolute_path(std::string_view text);

// True when the host path can be opened for reading or has attributes.
bool path_exists(std::string_view text);

// True when `text` is a path in the POSIX form rather than a Windows one:
// it holds no backslash and no colon as its second character (a drive
// letter's "X:"), and it is "." or "..", holds a slash, or is three
// characters or longer (a shorter text names the volume of a drive letter,
// as "c" does).
bool is_posix_path(std::string_view text);
