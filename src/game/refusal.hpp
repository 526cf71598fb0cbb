#pragma once
// A request the engine declines: it changes nothing and carries one fixed message.

#include <string_view>

namespace krodan {

struct Refusal {
    std::string_view message;
    bool operator==(const Refusal&) const = default;
};

}  // namespace krodan
