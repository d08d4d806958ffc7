#include "common/py_progress.hpp"

#include <atomic>
#include <utility>

#include "common/python_runtime.hpp"

namespace orvakpy {

namespace {

class PyProgressObserver final : public orvak::ProgressObserver {
  public:
    explicit PyProgressObserver(py::object callback) : callback_(std::move(callback)) {}

    PyProgressObserver(const PyProgressObserver&) = delete;
    PyProgressObserver& operator=(const PyProgressObserver&) = delete;

    ~PyProgressObserver() override {
        if (!python_usable()) {
            // Never touch a finalizing interpreter; the reference is leaked.
            callback_.release();
            return;
        }
        const AcquireGil gil;
        callback_ = py::object();
    }

    void on_progress(const orvak::ProgressEvent& event) override {
        if (broken_ || !python_usable()) return;
        const AcquireGil gil;
        try {
            using namespace pybind11::literals;
            callback_("instrument"_a = to_pystr(event.instrument),
                      "operation"_a = to_pystr(event.operation),
                      "estimate"_a = event.estimate_s ? py::object(py::float_(*event.estimate_s))
                                                      : py::object(py::none()),
                      "elapsed"_a = event.elapsed_s, "done"_a = event.done,
                      "succeeded"_a = event.succeeded, "address"_a = event.address,
                      "chain"_a = event.chain);
        } catch (py::error_already_set& e) {
            // An interrupt raised in the observer interrupts the wait; any
            // other error only silences this observer for the rest of it.
            if (!e.matches(PyExc_Exception)) rethrow_python_error(e);
            broken_ = true;
            const auto logger =
                py::module_::import("logging").attr("getLogger")("orvaklab.progress");
            logger.attr("warning")("progress observer failed; no more progress for this wait",
                                   py::arg("exc_info") = py::make_tuple(
                                       e.type(), e.value(), e.trace() ? e.trace() : py::none()));
        }
    }

  private:
    py::object callback_;
    bool broken_ = false;
};

}  // namespace

std::shared_ptr<orvak::ProgressObserver> python_progress_observer() {
    py::object callback = py::module_::import("orvaklab.unitbase").attr("_progress_observer");
    if (callback.is_none()) return nullptr;
    return std::make_shared<PyProgressObserver>(std::move(callback));
}

}  // namespace orvakpy
