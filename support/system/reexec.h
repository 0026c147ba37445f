#pragma once

namespace brimlow::platform {

// Where the system offers a spawn attribute that disclaims responsibility
// ("responsibility_spawnattrs_setdisclaim", looked up among the loaded images), starts a second
// copy of this program with it and with BRIMLOW_DISCLAIMED=1, forwards SIGTERM, SIGINT and
// SIGHUP to that copy, and ends this process with the copy's exit code (1 when a signal ended
// it): it then never returns. Returns when this process is to go on as the program itself: it is
// the copy already, the function does not exist (the usual case on Linux), or any step failed.
// Writes nothing anywhere.
// `disclaimed`: this process is the copy already (the program's BRIMLOW_DISCLAIMED=1).
void reexecDisclaimedIfNeeded(int argc, char** argv, bool disclaimed);

}  // namespace brimlow::platform
