// Durations and sizes as a configuration writes them: a number with its unit,
// "500ms", "30s", "10m", "2h", "200MiB". A bare number is refused, so that nobody
// has to guess whether 30 meant seconds or milliseconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace merloxd {

using Milliseconds = std::chrono::milliseconds;

// Nothing for a text that is not a whole or decimal number followed by ms, s, m or
// h, or that is negative or too long for the clock.
std::optional<Milliseconds> ParseDuration(const std::string& text);

// Bytes, from a number followed by B, KiB, MiB, GiB or TiB (or KB, MB, GB, TB, which
// count in thousands).
std::optional<uint64_t> ParseSize(const std::string& text);

// "1 min 30 s", "250 ms", for messages and the journal.
std::string DescribeDuration(Milliseconds duration);

}  // namespace merloxd
