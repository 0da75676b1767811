// What /metrics and the text file say: the cards as last read and the guard as it
// stands, in the Prometheus text format. Names follow Prometheus's conventions:
// merlox_ first, the unit in the name, _total for counters; a card is labelled by
// its serial number, which survives a replug where its number may not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CardCache.h"
#include "GuardStatus.h"

namespace merloxd {

// nowMs: milliseconds since 1970, for how long checks have been failing.
std::string MetricsText(const GuardStatus& guard, const std::vector<CardReading>& cards,
                        int64_t nowMs);

}  // namespace merloxd
