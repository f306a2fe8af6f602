#pragma once
// A one-line progress display on stderr: files and bytes done and throughput.

#include <chrono>
#include <cstdint>

struct Progress {
    bool enabled = false;
    std::uint64_t totalFiles = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t doneFiles = 0;
    std::uint64_t doneBytes = 0;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point lastDrawn;
    bool drawn = false;
};

// True when progress should be shown: not quiet, and forced or stderr is a terminal.
bool ProgressWanted(bool quiet, bool forced);

// Starts counting towards the totals; draws nothing when `enabled` is false.
void ProgressStart(Progress* progress, bool enabled, std::uint64_t totalFiles, std::uint64_t totalBytes);

// Counts bytes read; redraws at most a few times a second.
void ProgressAddBytes(Progress* progress, std::uint64_t bytes);

// Counts one finished file.
void ProgressFileDone(Progress* progress);

// Draws the final state and ends the line, if anything was drawn.
void ProgressFinish(Progress* progress);
