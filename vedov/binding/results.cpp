// Result lists: every value becomes a new float in a new list of exactly the result's length.
#include "vedov/binding/results.hpp"

namespace vedov::binding {

Ref to_list(std::span<const double> values) {
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
    PyObject* raw = list.get();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (!item) throw PythonError{};
        PyList_SetItem(raw, static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

namespace {

// A matrix becomes rows + 1 new lists, which cannot form cycles; pausing the cycle collector while
// they are built spares it rescanning the growing result every few hundred rows.
class CollectorPause {
public:
    CollectorPause() noexcept : was_enabled_(PyGC_Disable() == 1) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

}  // namespace

Ref to_list(const zam::DenseMatrix& matrix) {
    const CollectorPause pause;
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(matrix.rows())));
    for (std::size_t i = 0; i < matrix.rows(); ++i) {
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_list(matrix.row(i)).release());
    }
    return list;
}

}  // namespace vedov::binding
