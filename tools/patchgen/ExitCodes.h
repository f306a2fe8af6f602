#pragma once
// patchgen's process exit codes, shared by the commands and documented in --help.

enum ExitCode : int {
    kExitOk = 0,       // done, or verify found everything matching
    kExitRefused = 1,  // input refused, or verify found mismatches
    kExitUsage = 2,    // bad command line
    kExitIo = 3,       // a file or directory could not be read or written
};
