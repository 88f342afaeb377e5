// Stream report callbacks: the callBackStatus record, subscriptions and the
// trampoline through which the compute library calls Python.
#include <pybind11/functional.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "groups.hpp"
#include "zecl.h"

namespace halvora::zecl {
namespace {

struct zeclCallbackStatusPy {
    uint32_t errorCode = 0;
    bool isStreamEnd = false;
};

using Callback = std::function<void(Handle, Handle, Handle, zeclCallbackStatusPy, py::object)>;

// One per subscription. The runtime may report at any later time: a subscription is
// kept until its stream is destroyed through destroyOpStream (whose return means the
// stream's threads are gone), and for the life of the process when the stream goes
// another way (a device reset or uninitialisation), since nothing tells the module.
struct Subscription {
    py::object user;
    Callback callback;  // empty for None: its reports do nothing
};

std::mutex subscriptionsMutex;
// By stream. Never destroyed: their Python objects must not be released after the
// interpreter is gone.
auto &subscriptions = *new std::map<Handle, std::vector<std::unique_ptr<Subscription>>>;

// The reports under way into Python. When the interpreter exits (its atexit
// handlers run, before it finalises) deliveries close: the reports under way are
// waited for, and every later one is dropped without touching Python, since a
// thread that takes the interpreter lock while the interpreter finalises crashes
// the process. Never destroyed: runtime threads may report after static destruction.
struct Deliveries {
    std::mutex mutex;
    std::condition_variable idle;
    int inside = 0;
    bool closed = false;
};
Deliveries &deliveries = *new Deliveries;

bool enterDelivery() {
    std::lock_guard<std::mutex> lock(deliveries.mutex);
    if (deliveries.closed) return false;
    ++deliveries.inside;
    return true;
}

void leaveDelivery() {
    std::lock_guard<std::mutex> lock(deliveries.mutex);
    if (--deliveries.inside == 0) deliveries.idle.notify_all();
}

// Registered with atexit; runs with the interpreter lock, which it lets go while
// the reports under way (which need it) finish.
void closeDeliveries() {
    {
        std::lock_guard<std::mutex> lock(deliveries.mutex);
        deliveries.closed = true;
    }
    py::gil_scoped_release release;
    std::unique_lock<std::mutex> lock(deliveries.mutex);
    deliveries.idle.wait(lock, [] { return deliveries.inside == 0; });
}

// Runs on a thread of the compute library's choosing. It takes the interpreter
// lock through the per-thread interface (whether or not a Python thread waits in
// the library, which released the lock while waiting), calls the callable, and
// prints anything it raises as unraisable: nothing reaches the runtime. Once the
// interpreter exits, it returns at once.
void trampoline(void *p1, void *p2, void *p3, zeclCallbackStatus *status, void *user) {
    if (!enterDelivery()) return;
    auto *subscription = static_cast<Subscription *>(user);
    zeclCallbackStatusPy report;
    if (status) {
        report.errorCode = static_cast<uint32_t>(status->errorCode);
        report.isStreamEnd = status->isStreamEnd != 0;
    }
    PyGILState_STATE state = PyGILState_Ensure();
    if (subscription->callback) {
        try {
            subscription->callback(p1, p2, p3, report, subscription->user);
        } catch (py::error_already_set &error) {
            error.discard_as_unraisable("stream report callback");
        } catch (const std::exception &error) {
            PyErr_SetString(PyExc_RuntimeError, error.what());
            PyErr_WriteUnraisable(nullptr);
        }
    }
    PyGILState_Release(state);
    leaveDelivery();
}

}  // namespace

void registerReportStatus(py::module_ &m) {
    py::class_<zeclCallbackStatusPy>(m, "callBackStatus")
        .def(py::init<>())
        .def_readwrite("errorCode", &zeclCallbackStatusPy::errorCode)
        .def_readwrite("isStreamEnd", &zeclCallbackStatusPy::isStreamEnd);
}

void registerSubscription(py::module_ &m) {
    py::module_::import("atexit").attr("register")(py::cpp_function(&closeDeliveries));
    m.def(
        "subscribeStreamReport",
        [](Handle stream, Callback callback, py::object user) {
            auto subscription = std::make_unique<Subscription>(Subscription{std::move(user), std::move(callback)});
            uint32_t status = zeclSubscribeStreamReport(stream, &trampoline, subscription.get());
            // Kept even when refused, as a runtime may hold on to what it was given all the same.
            std::lock_guard<std::mutex> lock(subscriptionsMutex);
            subscriptions[stream].push_back(std::move(subscription));
            return status;
        },
        "Subscribe a callback function to the stream to receive the result report when a specific "
        "stream operator execution is completed.");
}

uint32_t destroyStream(Handle stream) {
    uint32_t status;
    {
        py::gil_scoped_release release;  // its runs may call back into Python
        status = zeclDestroyOpStream(stream);
    }
    if (status == 0) {
        std::vector<std::unique_ptr<Subscription>> gone;  // released after the lock, with the interpreter lock held
        {
            std::lock_guard<std::mutex> lock(subscriptionsMutex);
            auto found = subscriptions.find(stream);
            if (found != subscriptions.end()) {
                gone = std::move(found->second);
                subscriptions.erase(found);
            }
        }
    }
    return status;
}

}  // namespace halvora::zecl
