#pragma once
// The one exception type of the engine: a violated invariant that no valid input can reach.
// Refusals of ordinary requests are returned values, never exceptions.

#include <stdexcept>
#include <string>

namespace krodan {

// Where an internal error was raised. The compiler builtins serve every compiler the project
// builds with (std::source_location needs a newer clang than Debian's with libstdc++).
struct SourceLocation {
    const char* file = __builtin_FILE();
    unsigned line = __builtin_LINE();
    const char* function = __builtin_FUNCTION();

    static SourceLocation current(const char* file = __builtin_FILE(),
                                  unsigned line = __builtin_LINE(),
                                  const char* function = __builtin_FUNCTION()) {
        return {file, line, function};
    }
};

class InternalError : public std::runtime_error {
  public:
    explicit InternalError(const std::string& message,
                           SourceLocation where = SourceLocation::current())
        : std::runtime_error(message), where_(where) {}

    // Where the invariant failed, for the diagnostic the host prints.
    const SourceLocation& where() const noexcept { return where_; }

  private:
    SourceLocation where_;
};

}  // namespace krodan
