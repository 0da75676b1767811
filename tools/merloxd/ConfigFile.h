// Reads a guard configuration (TOML) and checks every value before anything is
// armed. A configuration that is wrong in any way is refused as a whole, with the
// file, line and column of what is wrong: a guard that half understood its
// configuration would guard something else than what its administrator meant.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "GuardConfig.h"

namespace merloxd {

class ConfigError : public std::runtime_error {
 public:
  // where: "guard.toml:12:5", or the file alone when no place in it applies.
  ConfigError(const std::string& where, const std::string& message)
      : std::runtime_error(where + ": " + message) {}
};

GuardConfig LoadConfig(const std::string& path);
// The same for a text already in memory; name stands for the file in messages.
GuardConfig ParseConfig(std::string_view text, const std::string& name);

}  // namespace merloxd
