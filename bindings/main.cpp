// Entry point of the extension module: interpreter version check, root module,
// metadata, and the init routines of every binding group in their fixed order.
#include <Python.h>

#include <cstring>

#include "binding.hpp"
#include "init.hpp"
#include "bindings/zece/groups.hpp"
#include "bindings/zeme/groups.hpp"
#include "bindings/zeml/groups.hpp"
#include "version_check.hpp"

namespace {

const char kRootDoc[] =
    "\n"
    "        The Zentri SDK\n"
    "        -----------------------\n"
    "        .. currentmodule:: halvora\n"
    "        .. autosummary::\n"
    "           :toctree: _generate\n"
    "           zecm\n"
    "           zeme\n"
    "           zecl\n"
    "           zeml\n"
    "           zece\n"
    "    ";

PyModuleDef rootDefinition = {
    PyModuleDef_HEAD_INIT, "_halvora_pybind11", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

constexpr int kModuleApiVersion = 1013;

// RuntimeError(message) with the runtime's status as its `status` attribute.
void raiseStatusError(const halvora::StatusError &error) {
    PyObject *exception = PyObject_CallFunction(PyExc_RuntimeError, "s", error.what());
    if (!exception) return;  // the failed call left its own error set
    PyObject *status = PyLong_FromUnsignedLong(error.status());
    if (status && PyObject_SetAttrString(exception, "status", status) == 0)
        PyErr_SetObject(PyExc_RuntimeError, exception);
    Py_XDECREF(status);
    Py_DECREF(exception);
}

void fill(py::module_ &root) {
    root.attr("__doc__") = kRootDoc;
    root.attr("__version__") = "2.1.1";
    root.attr("__time_compiled__") = __DATE__ " " __TIME__;

    halvora::initZecm(root);                                                         // 1
    py::module_ zeme = root.def_submodule("zeme", "zentri media engine.");           // 2
    halvora::zeme::registerMediaTypes(zeme);                                         // 3
    halvora::zeme::registerDecoders(zeme);                                           // 4
    halvora::zeme::registerEncoders(zeme);                                           // 5
    halvora::initZecl(root);                                                         // 6
    py::module_ zece = root.def_submodule("zece", "zentri  preprocess op engine.");  // 7
    halvora::zece::registerTypes(zece);                                              // 8
    halvora::zece::registerCustomizedOps(zece);                                      // 9
    halvora::zece::registerImageOperations(zece);                                    // 10
    halvora::zece::registerOps(zece);                                                // 11
    halvora::zece::registerImageFiles(zece);                                         // 12
    halvora::zece::registerConfigExample(zece);                                      // 13
    py::module_ zeml = root.def_submodule("zeml", "zentri management library.");     // 14
    halvora::zeml::registerManagement(zeml);                                         // 15
    halvora::zeml::registerInventory(zeml);                                          // 16
    halvora::zeml::registerCards(zeml);                                              // 17
    halvora::zeml::registerDies(zeml);                                               // 18
}

}  // namespace

void halvora::registerStatusErrors() {
    py::register_local_exception_translator([](std::exception_ptr pending) {
        try {
            if (pending) std::rethrow_exception(pending);
        } catch (const halvora::StatusError &error) {
            raiseStatusError(error);
        }
    });
}

extern "C" PYBIND11_EXPORT PyObject *PyInit__halvora_pybind11() {
    const char *interpreter = Py_GetVersion();
    if (!halvora::versionMatches(HALVORA_PYTHON_VERSION, interpreter)) {
        PyErr_Format(PyExc_ImportError,
                     "Python version mismatch: module was compiled for Python %s, but the "
                     "interpreter version is incompatible: %s.",
                     HALVORA_PYTHON_VERSION, interpreter);
        return nullptr;
    }
    py::detail::get_internals();
    PyObject *created = PyModule_Create2(&rootDefinition, kModuleApiVersion);
    if (!created) return nullptr;
    auto root = py::reinterpret_steal<py::module_>(created);
    try {
        halvora::registerStatusErrors();
        fill(root);
        return root.release().ptr();
    } catch (py::error_already_set &error) {
        py::raise_from(error, PyExc_ImportError, "initialization failed");
    } catch (const std::exception &error) {
        PyErr_SetString(PyExc_ImportError, error.what());
    }
    return nullptr;
}
