// What every extension module shares about living inside the interpreter:
// when Python may be touched, the lock around joins, errors crossing the
// language boundary, and the log sink that feeds Python's logging.
#pragma once

#include <cxxabi.h>
#include <pybind11/pybind11.h>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "orvak/errors.hpp"
#include "orvak/log_sink.hpp"
#include "orvak/port.hpp"
#include "orvak/serial_manager.hpp"

namespace orvakpy {

namespace py = pybind11;

// False once the interpreter has begun to shut down: background threads must
// not take the GIL then.
bool python_usable() noexcept;

// Never returns: a thread that would need the GIL after the interpreter began
// to shut down sleeps until the process ends, instead of being torn down
// mid-frame by the interpreter.
[[noreturn]] void park_forever();

// Releases the GIL for a scope. Unlike py::gil_scoped_release it never takes
// the GIL back from a finalizing interpreter (which would end the thread by
// force in the middle of C++ frames): such a thread parks instead.
class ReleaseGil {
  public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;
    // May not return (see park_forever); declared throwing so that a forced
    // thread exit can unwind through it.
    ~ReleaseGil() noexcept(false);

  private:
    PyThreadState* state_;
};

// Runs `body` with the GIL released. Its exception, if any, is rethrown only
// after the GIL is back: re-taking the GIL can end a daemon thread at
// interpreter exit, which must not happen while an exception is in flight.
template <class Body>
auto without_gil(Body&& body) -> decltype(body()) {
    using Result = decltype(body());
    std::exception_ptr error;
    if constexpr (std::is_void_v<Result>) {
        {
            const ReleaseGil release;
            try {
                body();
            } catch (abi::__forced_unwind&) {
                throw;
            } catch (...) {
                error = std::current_exception();
            }
        }
        if (error) std::rethrow_exception(error);
    } else {
        std::optional<Result> result;
        {
            const ReleaseGil release;
            try {
                result.emplace(body());
            } catch (abi::__forced_unwind&) {
                throw;
            } catch (...) {
                error = std::current_exception();
            }
        }
        if (error) std::rethrow_exception(error);
        return std::move(*result);
    }
}

// A bound method that runs without the GIL (see without_gil).
template <class R, class C, class... Args>
auto nogil(R (C::*method)(Args...)) {
    return [method](C& self, Args... args) -> R {
        return without_gil([&]() -> R { return (self.*method)(std::forward<Args>(args)...); });
    };
}
template <class R, class C, class... Args>
auto nogil(R (C::*method)(Args...) const) {
    return [method](const C& self, Args... args) -> R {
        return without_gil([&]() -> R { return (self.*method)(std::forward<Args>(args)...); });
    };
}

// Takes the GIL for a scope, parking instead when the interpreter is finalizing.
class AcquireGil {
  public:
    AcquireGil();

  private:
    py::gil_scoped_acquire gil_;
};

// Drops a reference held by C++ state that may be destroyed on any thread:
// under the GIL, or leaked once the interpreter is finalizing (it reclaims
// the object itself, and the GIL must not be taken then).
void release_python_object(py::object& object) noexcept;

// Python 3.11 and 3.12 keep a managed __dict__'s attributes inline, and
// pybind11's collector support there builds a new dict in the middle of a
// collection, which hides cycles through instance attributes (a driver's
// my_group) from the collector. Types with dynamic attributes therefore keep
// their dict at a fixed offset, as on older interpreters.
py::custom_type_setup collectable_instance_dict();

// Runs `join` with the GIL released when this thread holds it.
void join_without_gil(const std::function<void()>& join);
// Runs a manager's loop thread with one Python thread state for its whole
// life: every port call, routing look-up and log line of the thread takes
// the GIL with it, instead of creating and destroying a thread state each time.
void with_thread_state(const std::function<void()>& body);
orvak::ManagerHooks manager_hooks();

// A Python error kept inside a C++ exception. Such exceptions outlive the
// call that raised them (a lost link's error stays with its manager, the
// cause of every later connection error), so the last copy may go on any
// thread, a teardown thread at interpreter exit included. pybind11 drops an
// error_already_set by taking the GIL, which a finalizing interpreter answers
// by ending the thread mid-destructor (std::terminate); this drops it under
// the GIL only while Python is usable, and leaks it after.
class HeldPythonError {
  public:
    explicit HeldPythonError(py::error_already_set error);
    [[nodiscard]] py::error_already_set& get() const noexcept { return *error_; }

  private:
    std::shared_ptr<py::error_already_set> error_;
};

// A Python exception that interrupts a wait (KeyboardInterrupt, SystemExit).
class PyInterrupted final : public orvak::Interrupted {
  public:
    explicit PyInterrupted(py::error_already_set error) : error_(std::move(error)) {}
    [[nodiscard]] py::error_already_set& error() const noexcept { return error_.get(); }

  private:
    HeldPythonError error_;
};

// A Python exception raised inside a core call, kept with its traceback.
class PyFailure final : public std::runtime_error {
  public:
    explicit PyFailure(py::error_already_set error)
        : std::runtime_error(error.what()), error_(std::move(error)) {}
    [[nodiscard]] py::error_already_set& error() const noexcept { return error_.get(); }

  private:
    HeldPythonError error_;
};

// A port call that failed with pyserial's SerialException or an OSError: the
// link is lost. Keeps the original exception for thread_error and the log.
class PyPortError final : public orvak::PortError {
  public:
    explicit PyPortError(py::error_already_set error)
        : orvak::PortError(error.what()), error_(std::move(error)) {}
    [[nodiscard]] py::error_already_set& error() const noexcept { return error_.get(); }

  private:
    HeldPythonError error_;
};

// A UserWarning for the user's line that called into the library: the first
// frame outside the orvaklab package (its own Python layers, such as a
// quantity converter, are passed over). Under a warnings filter of "error"
// it raises: py::error_already_set.
void warn_caller(const std::string& message);

// Text for Python, with undecodable bytes replaced rather than failing.
py::str to_pystr(std::string_view text);

// Rethrows a Python error as an interrupt when it is not an ordinary Exception.
[[noreturn]] void rethrow_python_error(py::error_already_set& error);

// Raises the pending signal handlers' error (Ctrl-C) as PyInterrupted.
void check_signals();

// The class in orvaklab.exceptions for a core error, built with its message
// (and code/reply, and the refusal as __cause__ where they apply).
py::object python_error(const orvak::Error& error);
// Any stored failure as a Python exception object.
py::object python_error(std::exception_ptr error);
// (type, value, traceback) for logging's exc_info; the traceback is None when
// the error never passed through a Python frame.
py::tuple exc_info(std::exception_ptr error);
py::tuple exc_info(const py::error_already_set& error);

// Maps core errors onto the classes of orvaklab.exceptions; once per module.
void register_error_translator();

// A class from orvaklab.exceptions.
py::object exception_class(const char* name);

// Hands core log lines to the Python logger of the given name.
class PythonLogSink final : public orvak::LogSink {
  public:
    explicit PythonLogSink(std::string logger_name);
    [[nodiscard]] bool enabled(orvak::LogLevel level) const override;
    void log(orvak::LogLevel level, std::string_view pattern, std::vector<std::string> args,
             std::exception_ptr error) override;

  private:
    std::string logger_name_;
    orvak::StderrLogSink fallback_;
};

// A Python type error naming the argument: "<where> argument '<arg>' must be <want>, not <type>".
[[noreturn]] void raise_argument_type(std::string_view where, std::string_view argument,
                                      std::string_view wanted, py::handle got);

}  // namespace orvakpy
