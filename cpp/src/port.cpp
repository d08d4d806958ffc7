// Out-of-line key functions: the vtables and typeinfo of Port and PortError
// live in the core library, so every extension module shares one copy.
#include "orvak/port.hpp"

namespace orvak {

PortError::~PortError() = default;

Port::~Port() = default;

}  // namespace orvak
