#include "common/python_runtime.hpp"

#include <pybind11/gil_safe_call_once.h>

#include <chrono>
#include <cstring>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace orvakpy {

namespace {

// Taking the GIL can end this thread by a forced unwind (a daemon thread when
// the interpreter finalizes), which AddressSanitizer does not see: the frames
// it leaves keep their poisoned redzones, and the destructors run on the way
// out would be reported as overflowing them.
void gil_may_end_thread() noexcept {
#if defined(__SANITIZE_ADDRESS__)
    __asan_handle_no_return();
#endif
}

}  // namespace

using namespace pybind11::literals;

bool python_usable() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsInitialized() != 0 && Py_IsFinalizing() == 0;
#else
    return Py_IsInitialized() != 0 && _Py_IsFinalizing() == 0;
#endif
}

void park_forever() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

ReleaseGil::~ReleaseGil() noexcept(false) {
    if (!python_usable()) park_forever();
    gil_may_end_thread();
    PyEval_RestoreThread(state_);
}

AcquireGil::AcquireGil()
    : gil_([] {
          if (!python_usable()) park_forever();
          gil_may_end_thread();
          return py::gil_scoped_acquire();
      }()) {}

void release_python_object(py::object& object) noexcept {
    if (!python_usable()) {
        [[maybe_unused]] auto* leaked = object.release().ptr();
        return;
    }
    const AcquireGil gil;
    object = py::object();
}

py::custom_type_setup collectable_instance_dict() {
    return py::custom_type_setup([](PyHeapTypeObject* heap_type) {
#if PY_VERSION_HEX < 0x030D0000
        auto* type = &heap_type->ht_type;
        if ((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0) {
            type->tp_flags &= ~Py_TPFLAGS_MANAGED_DICT;
            type->tp_dictoffset = type->tp_basicsize;
            type->tp_basicsize += static_cast<Py_ssize_t>(sizeof(PyObject*));
        }
#else
        static_cast<void>(heap_type);
#endif
    });
}

void join_without_gil(const std::function<void()>& join) {
    if (python_usable() && PyGILState_Check() != 0) {
        const ReleaseGil release;
        join();
    } else {
        join();
    }
}

void with_thread_state(const std::function<void()>& body) {
    // Made without the GIL (allowed), so the loop starts at once. pybind11
    // deletes a thread state when its count of users drops to zero; this one
    // keeps a count for itself, so taking and dropping the GIL leaves it be.
    PyThreadState* const state =
        python_usable() ? PyThreadState_New(PyInterpreterState_Main()) : nullptr;
    if (state != nullptr) state->gilstate_counter = 1;
    body();
    // After finalization has begun the interpreter owns every thread state.
    if (state != nullptr && python_usable()) {
        PyEval_RestoreThread(state);
        PyThreadState_Clear(state);
        PyThreadState_DeleteCurrent();
    }
}

orvak::ManagerHooks manager_hooks() {
    return orvak::ManagerHooks{.around_join = join_without_gil, .around_loop = with_thread_state};
}

HeldPythonError::HeldPythonError(py::error_already_set error)
    : error_(std::make_unique<py::error_already_set>(std::move(error)).release(),
             [](py::error_already_set* held) {
                 if (!python_usable()) return;  // leaked: see the class comment
                 const AcquireGil gil;
                 std::unique_ptr<py::error_already_set>{held}.reset();
             }) {}

namespace {

// The package's folder with a trailing separator, for telling its frames.
const std::string& package_prefix() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<std::string> prefix;
    return prefix
        .call_once_and_store_result([] {
            const auto os_path = py::module_::import("os.path");
            const py::object init = py::module_::import("orvaklab").attr("__file__");
            return py::str(os_path.attr("dirname")(init)).cast<std::string>() + "/";
        })
        .get_stored();
}

}  // namespace

void warn_caller(const std::string& message) {
    const std::string& package = package_prefix();
    // A call from C++ has no frame of its own: level 1 is the innermost
    // Python frame. Pass over the package's own frames; when there are only
    // those, the innermost takes it.
    int level = 1;
    PyFrameObject* const innermost = PyEval_GetFrame();
    py::object frame =
        innermost == nullptr
            ? py::object()
            : py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(innermost));
    while (frame) {
        auto* raw = reinterpret_cast<PyFrameObject*>(frame.ptr());
        const auto code =
            py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(PyFrame_GetCode(raw)));
        if (py::str(code.attr("co_filename")).cast<std::string>().rfind(package, 0) != 0) break;
        PyFrameObject* const back = PyFrame_GetBack(raw);  // a new reference, or null
        if (back == nullptr) {
            level = 1;
            break;
        }
        ++level;
        frame = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(back));
    }
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), level) < 0) throw py::error_already_set();
}

py::str to_pystr(std::string_view text) {
    PyObject* decoded =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

void rethrow_python_error(py::error_already_set& error) {
    if (!error.matches(PyExc_Exception)) throw PyInterrupted(std::move(error));
    throw std::move(error);
}

void check_signals() {
    const AcquireGil gil;
    if (PyErr_CheckSignals() != 0) {
        py::error_already_set error;
        rethrow_python_error(error);
    }
}

py::object exception_class(const char* name) {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> module;
    const auto& exceptions =
        module.call_once_and_store_result([] { return py::module_::import("orvaklab.exceptions"); })
            .get_stored();
    return exceptions.attr(name);
}

namespace {

py::tuple exc_info_of(const py::object& value) {
    return py::make_tuple(py::type::of(value), value, value.attr("__traceback__"));
}

// OrvakConnectionError for a lost or unopenable port; an OS error behind it
// becomes its __cause__, as "raise ... from" would attach it.
py::object connection_error(const orvak::PortError& error) {
    py::object raised = exception_class("OrvakConnectionError")(to_pystr(error.what()));
    if (error.os_error() != 0) {
        const py::object cause = py::reinterpret_borrow<py::object>(PyExc_OSError)(
            error.os_error(), to_pystr(std::strerror(error.os_error())));
        PyException_SetCause(raised.ptr(), cause.inc_ref().ptr());
    }
    return raised;
}

// Attaches `cause`, when there is one, as "raise ... from cause" would.
py::object with_cause(py::object raised, const std::exception_ptr& cause) {
    if (cause) PyException_SetCause(raised.ptr(), python_error(cause).release().ptr());
    return raised;
}

}  // namespace

py::object python_error(const orvak::Error& error) {
    const py::str message = to_pystr(error.what());
    switch (error.kind()) {
        case orvak::ErrorKind::timeout:
            return exception_class("OrvakTimeoutError")(message);
        case orvak::ErrorKind::connection:
            // What ended the link (a lost port, a replay gone astray) is the cause.
            return with_cause(exception_class("OrvakConnectionError")(message),
                              dynamic_cast<const orvak::ConnectionError&>(error).cause());
        case orvak::ErrorKind::hardware:
            return exception_class("OrvakHardwareError")(message);
        case orvak::ErrorKind::not_supported:
            return exception_class("OrvakNotSupportedError")(message);
        case orvak::ErrorKind::value:
            return with_cause(exception_class("OrvakValueError")(message),
                              dynamic_cast<const orvak::ValueError&>(error).cause());
        case orvak::ErrorKind::stopped:
            return exception_class("OrvakStoppedError")(message);
        case orvak::ErrorKind::command_rejected: {
            const auto& rejected = dynamic_cast<const orvak::CommandRejectedError&>(error);
            const py::object code =
                rejected.code() ? py::object(to_pystr(*rejected.code())) : py::none();
            return exception_class("OrvakCommandRejectedError")(
                message, "code"_a = code, "reply"_a = to_pystr(rejected.reply()));
        }
        case orvak::ErrorKind::position_unknown: {
            const auto& unknown = dynamic_cast<const orvak::PositionUnknownError&>(error);
            py::object raised = exception_class("OrvakPositionUnknownError")(message);
            // Steals the reference; also suppresses the context, as "raise ... from" does.
            if (unknown.cause()) {
                PyException_SetCause(raised.ptr(), python_error(*unknown.cause()).release().ptr());
            }
            return raised;
        }
        case orvak::ErrorKind::general:
            break;
    }
    return exception_class("OrvakError")(message);
}

py::object python_error(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (PyInterrupted& e) {
        return e.error().value();
    } catch (PyFailure& e) {
        return e.error().value();
    } catch (PyPortError& e) {
        return e.error().value();
    } catch (py::error_already_set& e) {
        return e.value();
    } catch (const orvak::Error& e) {
        return python_error(e);
    } catch (const orvak::PortError& e) {
        return connection_error(e);
    } catch (const orvak::ArgumentTypeError& e) {
        return py::reinterpret_borrow<py::object>(PyExc_TypeError)(to_pystr(e.what()));
    } catch (const std::exception& e) {
        return py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(to_pystr(e.what()));
    } catch (...) {
        return py::reinterpret_borrow<py::object>(PyExc_RuntimeError)("unknown error");
    }
}

py::tuple exc_info(std::exception_ptr error) { return exc_info_of(python_error(std::move(error))); }

py::tuple exc_info(const py::error_already_set& error) {
    const py::object value = error.value();
    // The fetched traceback is kept beside the value, not always on it.
    const py::object trace = error.trace() ? py::reinterpret_borrow<py::object>(error.trace())
                                           : py::object(value.attr("__traceback__"));
    return py::make_tuple(py::type::of(value), value, trace);
}

void register_error_translator() {
    // Fill the module's cache of orvaklab.exceptions now. Filling it releases
    // and re-takes the GIL; were that first done while translating an error
    // at interpreter exit, the re-take would end the thread inside a
    // destructor, which aborts the process.
    static_cast<void>(exception_class("OrvakError"));
    py::register_local_exception_translator([](std::exception_ptr raised) {
        if (!raised) return;
        try {
            std::rethrow_exception(raised);
        } catch (PyInterrupted& e) {
            e.error().restore();
        } catch (PyFailure& e) {
            e.error().restore();
        } catch (PyPortError& e) {
            e.error().restore();
        } catch (const orvak::Error& e) {
            const py::object value = python_error(e);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), value.ptr());
        } catch (const orvak::ArgumentTypeError& e) {
            PyErr_SetString(PyExc_TypeError, e.what());
        } catch (const orvak::IndexOutOfRange& e) {
            PyErr_SetString(PyExc_IndexError, e.what());
        } catch (const orvak::PortError& e) {
            const py::object value = connection_error(e);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), value.ptr());
        }
    });
}

PythonLogSink::PythonLogSink(std::string logger_name)
    : logger_name_(std::move(logger_name)), fallback_(logger_name_) {}

bool PythonLogSink::enabled(orvak::LogLevel level) const {
    if (!python_usable()) return fallback_.enabled(level);
    const AcquireGil gil;
    try {
        const auto logger = py::module_::import("logging").attr("getLogger")(logger_name_);
        return logger.attr("isEnabledFor")(static_cast<int>(level)).cast<bool>();
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("orvaklab log level check");
        return false;
    }
}

void PythonLogSink::log(orvak::LogLevel level, std::string_view pattern,
                        std::vector<std::string> args, std::exception_ptr error) {
    if (!python_usable()) {
        fallback_.log(level, pattern, std::move(args), std::move(error));
        return;
    }
    const AcquireGil gil;
    try {
        const auto logger = py::module_::import("logging").attr("getLogger")(logger_name_);
        if (!logger.attr("isEnabledFor")(static_cast<int>(level)).cast<bool>()) return;
        py::list values;
        for (const auto& arg : args) values.append(to_pystr(arg));
        const py::object info = error ? py::object(exc_info(error)) : py::object(py::none());
        logger.attr("log")(static_cast<int>(level), to_pystr(pattern), *values,
                           "exc_info"_a = info);
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("orvaklab logging");
    }
}

void raise_argument_type(std::string_view where, std::string_view argument, std::string_view wanted,
                         py::handle got) {
    const auto type_name = py::type::of(got).attr("__name__").cast<std::string>();
    throw py::type_error(std::string(where) + " argument '" + std::string(argument) + "' must be " +
                         std::string(wanted) + ", not " + type_name);
}

}  // namespace orvakpy
