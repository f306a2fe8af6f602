#pragma once
// Small helpers shared by the benchmark programs.

#include <cstdint>
#include <string>
#include <vector>

// Seconds since an arbitrary start, from QueryPerformanceCounter.
double NowSeconds();

// MiB per second; 0 when no time passed.
double MibPerSecond(std::uint64_t bytes, double seconds);

// The middle value (the lower middle for an even count); 0 for none.
double Median(std::vector<double> values);

// The smallest and the largest value, for the spread beside a median; 0 for none.
double Lowest(const std::vector<double>& values);
double Highest(const std::vector<double>& values);

// Narrow text for printing a path.
std::string Narrow(const std::wstring& text);
