#include "common/py_link.hpp"

#include "common/python_runtime.hpp"

namespace orvakpy {

namespace {

// A stand-in link: every call goes through Python with the GIL.
class PyLink final : public orvak::Link {
  public:
    explicit PyLink(py::object link) : link_(std::move(link)) {}
    ~PyLink() override { release_python_object(link_); }

    void send_line(std::string line) override {
        call([&] { link_.attr("orvak_write_queue").attr("put")(to_pystr(line)); });
    }
    bool has_read_queue() override {
        return call([&] {
            return py::hasattr(link_, "orvak_read_queue") &&
                   !link_.attr("orvak_read_queue").is_none();
        });
    }
    bool read_queue_empty() override {
        return call([&] { return py::bool_(link_.attr("orvak_read_queue").attr("empty")()); });
    }
    bool stop_requested() override {
        return call([&] { return py::bool_(link_.attr("thread_stop_event").attr("is_set")()); });
    }
    bool died() override {
        return call([&] { return py::bool_(link_.attr("thread_died").attr("is_set")()); });
    }

  private:
    template <class Call>
    auto call(Call&& body) -> decltype(body()) {
        const AcquireGil gil;
        try {
            return body();
        } catch (py::error_already_set& e) {
            rethrow_python_error(e);
        }
    }

    py::object link_;
};

}  // namespace

std::shared_ptr<orvak::Link> resolve_link(py::handle seriallink) {
    if (py::isinstance<orvak::SerialManager>(seriallink)) {
        return seriallink.cast<std::shared_ptr<orvak::SerialManager>>();
    }
    return std::make_shared<PyLink>(py::reinterpret_borrow<py::object>(seriallink));
}

PyRoutes::PyRoutes(py::handle group) : group_ref_(py::none()) {
    if (group.is_none()) return;
    try {
        group_ref_ = py::module_::import("weakref").attr("ref")(group);
    } catch (py::error_already_set&) {
        // Not weakly referable: route to what it holds now.
    }
    slots_ = slots_of(group);
}

PyRoutes::~PyRoutes() { release_python_object(group_ref_); }

std::vector<std::shared_ptr<orvak::ReplySlots>> PyRoutes::slots_of(py::handle group) {
    std::vector<std::shared_ptr<orvak::ReplySlots>> slots;
    for (const auto entry : group.attr("inst")) {
        const py::object held = py::getattr(entry, "_reply_slots", py::none());
        slots.push_back(py::isinstance<orvak::ReplySlots>(held)
                            ? held.cast<std::shared_ptr<orvak::ReplySlots>>()
                            : nullptr);
    }
    return slots;
}

std::vector<std::shared_ptr<orvak::ReplySlots>> PyRoutes::read_slots() const {
    if (group_ref_.is_none()) return {};
    const py::object group = group_ref_();
    if (group.is_none()) return {};
    return slots_of(group);
}

void PyRoutes::refresh() {
    auto slots = read_slots();
    const std::lock_guard lock(mutex_);
    if (!group_ref_.is_none()) slots_ = std::move(slots);
}

std::vector<std::shared_ptr<orvak::ReplySlots>> PyRoutes::known_slots() {
    const std::lock_guard lock(mutex_);
    return slots_;
}

std::shared_ptr<orvak::ReplySlots> PyRoutes::slots_at(std::size_t position) {
    {
        const std::lock_guard lock(mutex_);
        if (position < slots_.size()) return slots_[position];
    }
    // A reply beyond the chain as we knew it: the group may have grown.
    if (!python_usable()) return nullptr;
    {
        const AcquireGil gil;
        try {
            refresh();
        } catch (py::error_already_set& e) {
            throw PyFailure(std::move(e));
        }
    }
    const std::lock_guard lock(mutex_);
    return position < slots_.size() ? slots_[position] : nullptr;
}

}  // namespace orvakpy
