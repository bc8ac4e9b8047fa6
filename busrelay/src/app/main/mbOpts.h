// The bridge's options: mbopts.json beside map.json, e.g.
//   {"offlineException": true}
// Every option is off by default, and off means the service behaves exactly
// as without the file. The file is strict: anything that is not a JSON
// object of known keys with values of the right type (an unknown key, a
// duplicate key, text after the object) is refused with an ERROR and the
// defaults apply. An empty (or blank) file or {} is the defaults.
// Read once at start-up, before any thread that reads the options runs.
#pragma once

#include <string>

struct MbOptions {
    // Reads of a unit whose online bit is 0 get exception 11 instead of
    // cached values, and bridged requests the gateway leaves unanswered get
    // exception 11 instead of silence.
    bool offlineException = false;
};

// False with a reason in error when the text is refused; out then holds
// the defaults.
bool mb_opts_parse(const std::string &text, MbOptions *out, std::string *error);

enum MbOptsLoad { MB_OPTS_ABSENT = 0, MB_OPTS_LOADED = 1, MB_OPTS_REFUSED = -1 };
// Reads path into the service's options and logs the outcome.
MbOptsLoad mb_opts_load(const char *path);
const MbOptions &mb_opts();
// Why the last load refused the file ("" otherwise).
const std::string &mb_opts_refusal();
// The options in force as one text ("offlineException on").
std::string mb_opts_summary();
// For tests.
void mb_opts_set(const MbOptions &options);
