#include "orvak/kinds.hpp"

namespace orvak::kinds {

namespace {

// Every row's type code is its own, and the rows run in type-code order, so
// a lookup and a listing agree.
constexpr bool codes_ascend() {
    for (std::size_t i = 1; i < table.size(); ++i) {
        if (table[i - 1].type_code >= table[i].type_code) return false;
    }
    return true;
}
static_assert(codes_ascend(), "module kinds must be listed once each, in type-code order");

}  // namespace

std::span<const Kind> rows() { return table; }

}  // namespace orvak::kinds
