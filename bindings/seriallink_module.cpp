// orvaklab.seriallink: the serial manager, its queues and flags, the reply
// slots drivers wait on, and the native serial port.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common/py_link.hpp"
#include "common/py_port.hpp"
#include "common/py_types.hpp"
#include "common/python_queues.hpp"
#include "common/python_runtime.hpp"
#include "common/wire_recording_bindings.hpp"
#include "orvak/line_queue.hpp"
#include "orvak/posix_serial_port.hpp"
#include "orvak/reply_slot.hpp"
#include "orvak/serial_manager.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
using orvakpy::OptionalReal;
using orvakpy::wait_interruptibly;

namespace {

py::object queue_error(const char* name) { return py::module_::import("queue").attr(name); }

[[noreturn]] void raise_queue_error(const char* name) {
    PyErr_SetNone(queue_error(name).ptr());
    throw py::error_already_set();
}

std::string line_text(py::handle item) {
    if (!py::isinstance<py::str>(item)) {
        orvakpy::raise_argument_type("put()", "item", "str", item);
    }
    return item.cast<std::string>();
}

// Reply slots: queue.Queue(maxsize=1) holding reply text.
void bind_reply_slot(py::module_& m) {
    py::class_<orvak::ReplySlot, py::smart_holder>(
        m, "ReplySlot",
        "Single-value queue of reply text: delivery replaces the held value and wakes a waiter.")
        .def(py::init<>(), "An empty slot.")
        .def(
            "put",
            [](orvak::ReplySlot& slot, const orvakpy::Text& item, bool block,
               const OptionalReal& timeout) {
                std::string value = py::str(item).cast<std::string>();
                if (!block) {
                    if (!slot.try_put(std::move(value))) raise_queue_error("Full");
                    return;
                }
                const auto put = wait_interruptibly(timeout, [&](orvak::Seconds slice) {
                    return slot.put_for(value, slice) ? std::optional<bool>(true) : std::nullopt;
                });
                if (!put) raise_queue_error("Full");
            },
            "item"_a, "block"_a = true, "timeout"_a = py::none(),
            "Puts item (as text), waiting up to timeout seconds (None: for ever) for the slot "
            "to empty; queue.Full when it stays full or block is false.")
        .def(
            "put_nowait",
            [](orvak::ReplySlot& slot, const orvakpy::Text& item) {
                if (!slot.try_put(py::str(item).cast<std::string>())) raise_queue_error("Full");
            },
            "item"_a, "Puts item without waiting; queue.Full when the slot holds a value.")
        .def(
            "get",
            [](orvak::ReplySlot& slot, bool block, const OptionalReal& timeout) {
                auto value =
                    block ? wait_interruptibly(
                                timeout, [&](orvak::Seconds slice) { return slot.get_for(slice); })
                          : slot.try_get();
                if (!value) raise_queue_error("Empty");
                return orvakpy::to_pystr(*value);
            },
            "block"_a = true, "timeout"_a = py::none(),
            "Takes the value, waiting up to timeout seconds (None: for ever); queue.Empty when "
            "none comes or block is false and the slot is empty.")
        .def(
            "get_nowait",
            [](orvak::ReplySlot& slot) {
                auto value = slot.try_get();
                if (!value) raise_queue_error("Empty");
                return orvakpy::to_pystr(*value);
            },
            "Takes the value without waiting; queue.Empty when there is none.")
        .def("empty", &orvak::ReplySlot::empty, "Whether the slot holds no value.")
        .def(
            "full", [](const orvak::ReplySlot& slot) { return !slot.empty(); },
            "Whether the slot holds a value.")
        .def("qsize", &orvak::ReplySlot::size, "1 when the slot holds a value, else 0.")
        .def_property_readonly(
            "maxsize", [](const orvak::ReplySlot&) { return 1; }, "The capacity: 1.");

    // Opaque: the slots of one instrument, as the manager's routing sees them.
    py::class_<orvak::ReplySlots, py::smart_holder>(m, "_ReplySlots");
}

// The manager's queues: queue.Queue() of text lines.
void bind_line_queue(py::module_& m) {
    py::class_<orvak::LineQueue, py::smart_holder>(m, "LineQueue",
                                                   "Unbounded thread-safe FIFO of text lines.")
        .def(py::init<>(), "An empty queue.")
        .def(
            "put",
            [](orvak::LineQueue& queue, const orvakpy::Text& item, bool /*block*/,
               const OptionalReal& /*timeout*/) { queue.put(line_text(item)); },
            "item"_a, "block"_a = true, "timeout"_a = py::none(),
            "Appends the line item; never waits (block and timeout are accepted and ignored).")
        .def(
            "put_nowait",
            [](orvak::LineQueue& queue, const orvakpy::Text& item) { queue.put(line_text(item)); },
            "item"_a, "Appends the line item.")
        .def(
            "get",
            [](orvak::LineQueue& queue, bool block, const OptionalReal& timeout) {
                auto line =
                    block ? wait_interruptibly(
                                timeout, [&](orvak::Seconds slice) { return queue.get_for(slice); })
                          : queue.try_get();
                if (!line) raise_queue_error("Empty");
                return orvakpy::to_pystr(*line);
            },
            "block"_a = true, "timeout"_a = py::none(),
            "Takes the oldest line, waiting up to timeout seconds (None: for ever); queue.Empty "
            "when none comes or block is false and the queue is empty.")
        .def(
            "get_nowait",
            [](orvak::LineQueue& queue) {
                auto line = queue.try_get();
                if (!line) raise_queue_error("Empty");
                return orvakpy::to_pystr(*line);
            },
            "Takes the oldest line without waiting; queue.Empty when there is none.")
        .def("empty", &orvak::LineQueue::empty, "Whether the queue holds no line.")
        .def(
            "full", [](const orvak::LineQueue&) { return false; }, "False: the queue is unbounded.")
        .def("qsize", &orvak::LineQueue::size, "The number of lines held.")
        .def_property_readonly(
            "maxsize", [](const orvak::LineQueue&) { return 0; }, "0: the queue is unbounded.");
}

// The manager's flags: threading.Event.
void bind_event(py::module_& m) {
    py::class_<orvak::Event, py::smart_holder>(m, "Event", "Thread-safe flag with waiting.")
        .def(py::init<>(), "A clear flag.")
        .def("set", &orvak::Event::set, "Sets the flag and wakes every waiter.")
        .def("clear", &orvak::Event::clear, "Clears the flag.")
        .def("is_set", &orvak::Event::is_set, "Whether the flag is set.")
        .def("isSet", &orvak::Event::is_set, "Whether the flag is set.")
        .def(
            "wait",
            [](orvak::Event& event, OptionalReal timeout) {
                if (event.is_set()) return true;
                // As threading.Event: a negative time-out just looks.
                if (!timeout.is_none() && py::float_(timeout).cast<double>() < 0)
                    timeout = py::float_(0.0);
                const auto set = wait_interruptibly(timeout, [&](orvak::Seconds slice) {
                    return event.wait_for(slice) ? std::optional<bool>(true) : std::nullopt;
                });
                return set.has_value() || event.is_set();
            },
            "timeout"_a = py::none(),
            "Waits up to timeout seconds (None: for ever) for the flag; returns whether it is "
            "set.");
}

py::bytes as_bytes(const py::object& data) {
    if (py::isinstance<py::str>(data)) {
        throw py::type_error("unicode strings are not supported, please encode to bytes");
    }
    return py::bytes(py::module_::import("builtins").attr("bytes")(data));
}

// Ports written in C++ (the native serial port, the bench emulator's port):
// a manager serves them directly, without the GIL, event-driven.
void bind_port_base(py::module_& m) {
    py::class_<orvak::Port, py::smart_holder>(
        m, "CorePort", "Base of the ports implemented in C++, with pyserial's port interface.")
        .def_property_readonly("is_open", &orvak::Port::is_open, "Whether the port is open.")
        .def(
            "write",
            [](orvak::Port& port, const orvakpy::Typed<"bytes | bytearray | memoryview">& data) {
                const std::string bytes = as_bytes(data);
                orvakpy::without_gil([&] { port.write(bytes); });
                return bytes.size();
            },
            "data"_a, "Writes the bytes; returns how many.")
        .def("inWaiting", orvakpy::nogil(&orvak::Port::in_waiting),
             "The number of bytes ready to read.")
        .def_property_readonly(
            "in_waiting",
            [](orvak::Port& port) {
                return orvakpy::without_gil([&] { return port.in_waiting(); });
            },
            "The number of bytes ready to read.")
        .def(
            "read",
            [](orvak::Port& port, std::size_t size) {
                return py::bytes(orvakpy::without_gil([&] { return port.read(size); }));
            },
            "size"_a = 1, "Reads at most size bytes of those ready, without waiting.")
        .def("close", orvakpy::nogil(&orvak::Port::close), "Closes the port; idempotent.")
        .def("fileno", &orvak::Port::readiness_fd,
             "A descriptor that polls readable when bytes are ready, or -1.")
        .def(
            "__enter__", [](const orvakpy::Typed<"typing.Self">& self) { return self; },
            "The port itself.")
        .def(
            "__exit__", [](orvak::Port& port, const py::Args<py::object>&) { port.close(); },
            "Closes the port.");
}

void bind_native_port(py::module_& m) {
    using orvak::PosixSerialPort;
    py::class_<PosixSerialPort, orvak::Port, py::smart_holder>(
        m, "NativeSerialPort",
        "A serial device opened directly (raw 8N1, non-blocking, exclusive), with pyserial's "
        "port interface. A SerialManager serves it event-driven.")
        .def(py::init<std::string, int, bool>(), "port"_a,
             "baudrate"_a = PosixSerialPort::default_baudrate, "exclusive"_a = true,
             "Opens the device at the path port at baudrate bits/s; exclusive locks it.")
        .def_property_readonly("port", &PosixSerialPort::path, "The device path.")
        .def_property_readonly("name", &PosixSerialPort::path, "The device path.")
        .def_property_readonly("baudrate", &PosixSerialPort::baudrate, "Bits per second.");
}

// The manager's two loop threads, as a pool-like handle (it does not keep
// the manager alive).
struct LoopThreads {
    std::weak_ptr<orvak::SerialManager> manager;
};

void bind_serial_manager(py::module_& m, const std::shared_ptr<orvak::Reaper>& reaper) {
    using orvak::SerialManager;
    py::class_<LoopThreads>(m, "_LoopThreads", "The two threads that run a manager's loops.")
        .def_property_readonly("_max_workers", [](const LoopThreads&) { return 2; })
        .def(
            "shutdown",
            [](const LoopThreads& threads, bool /*wait*/) {
                if (const auto manager = threads.manager.lock()) manager->stop();
            },
            "wait"_a = true, "Stops the manager's loops.");

    py::class_<SerialManager, py::smart_holder> cls(
        m, "SerialManager",
        "Owns the chain's open serial port and runs its two background loops: the write/read "
        "loop and the distributor that routes replies into the instruments' reply slots.",
        py::dynamic_attr(), orvakpy::collectable_instance_dict());
    // The last reference to a manager may drop in a garbage collection on any
    // thread, one of its own loops included (a Python port is called there),
    // so its teardown goes to the module's reaper.
    cls.def(py::init([reaper](const py::object& serial_port, const py::object& group) {
                return SerialManager::start(
                    orvakpy::port_for(serial_port), std::make_shared<orvakpy::PyRoutes>(group),
                    std::make_shared<orvakpy::PythonLogSink>("orvaklab.seriallink"),
                    orvakpy::manager_hooks(), reaper);
            }),
            "serial_port"_a, "group"_a);

    // The Python-side attributes live in the instance dictionary, where the
    // garbage collector sees the group <-> manager cycle and can break it.
    const py::object construct = cls.attr("__init__");
    using Port = orvakpy::Typed<"orvaklab.shapes.SerialPort | None">;
    using Group = orvakpy::Typed<"orvaklab.shapes.DriverGroup">;
    cls.attr("__init__") = py::cpp_function(
        [construct](const py::object& self, const Port& serial_port, const Group& group) {
            construct(self, serial_port, group);
            self.attr("group") = group;
            self.attr("orvak_serial") = serial_port;
            py::module_::import("orvaklab.seriallink").attr("_live_managers").attr("add")(self);
        },
        py::name("__init__"), py::is_method(cls), "serial_port"_a, "group"_a,
        "Starts serving serial_port (an open port with pyserial's interface) for the drivers "
        "of group.");
    orvakpy::declare_attribute(cls, "group", "orvaklab.shapes.DriverGroup",
                               "The group whose drivers the replies are routed to.");
    orvakpy::declare_attribute(cls, "orvak_serial", "orvaklab.shapes.SerialPort | None",
                               "The port served.");

    cls.def_property_readonly(
           "orvak_read_queue",
           [](SerialManager& mgr) -> orvak::LineQueue& { return mgr.read_queue(); },
           py::return_value_policy::reference_internal, "Reply lines not yet routed.")
        .def_property_readonly(
            "orvak_write_queue",
            [](SerialManager& mgr) -> orvak::LineQueue& { return mgr.write_queue(); },
            py::return_value_policy::reference_internal, "Command lines not yet written.")
        .def_property_readonly(
            "thread_stop_event",
            [](SerialManager& mgr) -> orvak::Event& { return mgr.stop_event(); },
            py::return_value_policy::reference_internal, "Set once the loops are to end.")
        .def_property_readonly(
            "thread_died", [](SerialManager& mgr) -> orvak::Event& { return mgr.died_event(); },
            py::return_value_policy::reference_internal,
            "Set once the link is lost or a loop failed.")
        .def_property_readonly(
            "thread_error", [](const SerialManager& mgr) -> orvakpy::Typed<"BaseException | None"> {
                const auto error = mgr.thread_error();
                return orvakpy::Typed<"BaseException | None">(error ? orvakpy::python_error(error)
                                                                    : py::none());
            },
            "The error that ended the loops, or None.")
        .def_property_readonly(
            "executor", [](const std::shared_ptr<SerialManager>& mgr) { return LoopThreads{mgr}; },
            "The two loop threads, as a pool-like handle.")
        .def_property_readonly("_io_wakeups", &SerialManager::io_wakeups,
                               "How often the write/read loop has woken up so far.")
        .def_property_readonly("_event_driven", &SerialManager::event_driven,
                               "Whether the write/read loop waits on the port's descriptor.")
        .def("is_alive", &SerialManager::is_alive,
             "Whether both loops run and the link has not been lost.")
        .def("stop", &SerialManager::stop, "Stops both loops and waits for them; idempotent.")
        .def_static(
            "_parse",
            [](const std::string& text) {
                const auto parsed = SerialManager::parse(text);
                return py::make_tuple(parsed.address, orvakpy::to_pystr(parsed.text));
            },
            "text"_a)
        .def("_route", orvakpy::nogil(&SerialManager::route), "line"_a)
        .def(
            "_write",
            [](SerialManager& mgr, const py::object& port, const std::string& command) {
                const auto target = orvakpy::port_for(port);
                if (!target) return;
                const orvakpy::ReleaseGil release;
                mgr.write(*target, command);
            },
            "port"_a, "command"_a)
        .def(
            "_read",
            [](SerialManager& mgr, const py::object& port) {
                const auto source = orvakpy::port_for(port);
                std::string text;
                if (source) {
                    const orvakpy::ReleaseGil release;
                    text = mgr.read(*source);
                }
                return orvakpy::to_pystr(text);
            },
            "port"_a)
        .def(
            "_mark_connection_lost",
            [](SerialManager& mgr, const py::object& exc, const std::string& what) {
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
                auto error = std::make_exception_ptr(orvakpy::PyFailure(py::error_already_set()));
                const orvakpy::ReleaseGil release;
                mgr.mark_connection_lost(error, what);
            },
            "exc"_a, "what"_a)
        .def(
            "_run_guarded",
            [](SerialManager& mgr, const py::object& target,
               const py::Args<py::object>& target_args) {
                const std::string name =
                    py::str(py::getattr(target, "__name__", target)).cast<std::string>();
                const orvakpy::ReleaseGil release;
                mgr.run_guarded(name, [&] {
                    const orvakpy::AcquireGil gil;
                    try {
                        target(*target_args);
                    } catch (py::error_already_set& e) {
                        throw orvakpy::PyFailure(std::move(e));
                    }
                });
            },
            "target"_a)
        .def(
            "_manage_communication",
            [](SerialManager& mgr, const py::object& port) {
                const auto target = orvakpy::port_for(port);
                if (!target) return;
                orvakpy::without_gil([&] { mgr.manage_communication(*target); });
            },
            "port"_a)
        .def("_distribute_read_data", orvakpy::nogil(&SerialManager::distribute_read_data));
}

}  // namespace

PYBIND11_MODULE(seriallink, m) {
    m.doc() = "Thread-backed serial queue manager for Orvak devices.";
    orvakpy::register_error_translator();

    bind_reply_slot(m);
    bind_line_queue(m);
    bind_event(m);
    bind_port_base(m);
    bind_native_port(m);
    // Tears down the managers Python dropped; owned by this module.
    const auto reaper = std::make_shared<orvak::Reaper>();
    bind_serial_manager(m, reaper);
    orvakpy::bind_wire_recording(m);

    const auto re = py::module_::import("re");
    constexpr std::string_view pattern = "re.Pattern[str]";
    orvakpy::constant(m, "_NOTOK_RE", re.attr("compile")(R"(\bM102\b)"), "", pattern);
    orvakpy::constant(m, "_OK_RE", re.attr("compile")(R"(\bOK\b)"), "", pattern);
    orvakpy::constant(m, "_BAD_RE", re.attr("compile")(R"(\bBAD\b)"), "", pattern);
    orvakpy::constant(
        m, "POLL_PERIOD", orvak::SerialManager::poll_period.count(),
        "Longest wait in seconds of a manager's loops before they check again (the polling "
        "period of a port without a descriptor).");

    // At interpreter exit every live manager is stopped, and every dropped one
    // torn down, before finalization, so no background thread touches a
    // finalizing interpreter.
    orvakpy::constant(m, "_live_managers", py::module_::import("weakref").attr("WeakSet")(), "",
                      "weakref.WeakSet[SerialManager]");
    m.def("_stop_live_managers", [reaper] {
        const auto live = py::module_::import("orvaklab.seriallink").attr("_live_managers");
        for (const auto manager : py::list(live)) manager.attr("stop")();
        orvakpy::without_gil([&] { reaper->drain(); });
    });
    py::module_::import("atexit").attr("register")(m.attr("_stop_live_managers"));
}
