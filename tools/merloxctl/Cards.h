// Which card a command acts on. The command line names it by number, by selector,
// or by serial number; a serial number keeps naming the same card when it was
// plugged in again and got another number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Output.h"

namespace merloxctl {

struct CardChoice {
  std::optional<int32_t> number;  // 0..31, -2 or -3
  std::optional<uint64_t> serial;
};

struct Resolution {
  std::optional<ResolvedCard> card;  // set when resolved
  uint32_t status = 0;               // the library's status when it could not be
  std::string problem;               // or what else went wrong
};

// Selectors resolve through the library's own rule (the card it would act on), a
// serial number through a discovery and a look-up, so that a card plugged in again
// is found under its new number. The serial number of a card named by number is
// read so that every result can show it.
Resolution ResolveCard(const CardChoice& choice);

// Resolves the card and runs body(card), or reports why it could not and returns
// the exit code.
template <class Body>
int WithCard(Output& out, const std::string& operation, const CardChoice& choice, Body body) {
  const Resolution resolution = ResolveCard(choice);
  if (resolution.card) return body(*resolution.card);
  if (!resolution.problem.empty()) return out.Problem(operation, resolution.problem);
  return out.Failure(operation, ResolvedCard{choice.number.value_or(0), choice.serial},
                     resolution.status);
}

}  // namespace merloxctl
