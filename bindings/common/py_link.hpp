// How drivers reach their chain from Python: the link behind
// `my_group.seriallink` (a SerialManager, or any stand-in object with the
// queues and flags drivers use), and the routing table a manager reads from
// its group's `inst` list.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <vector>

#include "orvak/link.hpp"
#include "orvak/serial_manager.hpp"

namespace orvakpy {

namespace py = pybind11;

// The core link for a `seriallink` attribute; takes the GIL (held by the caller).
std::shared_ptr<orvak::Link> resolve_link(py::handle seriallink);

// Reply slots of each entry of `group.inst`, read when the manager starts and
// again when a reply names an address beyond them. Holds the group weakly, so
// a group and its manager can still be collected together.
class PyRoutes final : public orvak::RouteTable {
  public:
    explicit PyRoutes(py::handle group);
    ~PyRoutes() override;
    std::shared_ptr<orvak::ReplySlots> slots_at(std::size_t position) override;
    std::vector<std::shared_ptr<orvak::ReplySlots>> known_slots() override;
    // Reads `group.inst` again (the GIL is held by the caller).
    void refresh();

  private:
    static std::vector<std::shared_ptr<orvak::ReplySlots>> slots_of(py::handle group);
    std::vector<std::shared_ptr<orvak::ReplySlots>> read_slots() const;

    py::object group_ref_;  // a weak reference, or None
    std::mutex mutex_;
    std::vector<std::shared_ptr<orvak::ReplySlots>> slots_;
};

}  // namespace orvakpy
