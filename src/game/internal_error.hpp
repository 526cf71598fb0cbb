#pragma once
// The one exception type of the engine: a violated invariant that no valid input can reach.
// Refusals of ordinary requests are returned values, never exceptions.

#include <source_location>
#include <stdexcept>
#include <string>

namespace krodan {

class InternalError : public std::runtime_error {
  public:
    explicit InternalError(const std::string& message,
                           std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}

    // Where the invariant failed, for the diagnostic the host prints.
    const std::source_location& where() const noexcept { return where_; }

  private:
    std::source_location where_;
};

}  // namespace krodan
