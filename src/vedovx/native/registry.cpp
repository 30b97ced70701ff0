// The registry's names as Python strings, tuples and dicts.
#include "vedovx/native/registry.hpp"

#include "vedovx/native/requests.hpp"

#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

namespace vedovx {

namespace {

using vedov::binding::check;
using vedov::binding::check_status;
using vedov::binding::Ref;

Ref text(std::string_view name) {
    return check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
}

Ref none() {
    return Ref::borrow(Py_None);
}

Ref tuple(std::vector<Ref> items) {
    Ref result = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t k = 0; k < items.size(); ++k) {
        check_status(PyTuple_SetItem(result.get(), static_cast<Py_ssize_t>(k), items[k].release()));
    }
    return result;
}

Ref dict(std::initializer_list<std::pair<std::string_view, Ref*>> items) {
    Ref result = check(PyDict_New());
    for (const auto& [key, value] : items) {
        check_status(PyDict_SetItem(result.get(), text(key).get(), value->get()));
    }
    return result;
}

template <class Table, class Name>
Ref names(const Table& table, Name name) {
    std::vector<Ref> items;
    for (const auto& entry : table) items.push_back(text(name(entry)));
    return tuple(std::move(items));
}

template <class Set>
Ref product_set() {
    std::vector<Ref> fields;
    for (const vedov::ProductField<Set>& f : vedov::ProductSet<Set>::fields) {
        const bool projection = f.product == vedov::Product::projection;
        Ref field = text(f.name), product = text(vedov::product_name(f.product));
        Ref rows = text(vedov::list_name(f.rows));
        Ref cols = projection ? none() : text(vedov::list_name(f.cols));
        Ref lag = f.lag == vedov::LagSource::none ? none() : text(vedov::lag_name(f.lag));
        Ref ones = projection ? text(vedov::list_name(f.ones)) : none();
        fields.push_back(dict({{"field", &field},
                               {"product", &product},
                               {"rows", &rows},
                               {"cols", &cols},
                               {"lag", &lag},
                               {"ones", &ones}}));
    }
    return tuple(std::move(fields));
}

}  // namespace

Ref registry() {
    std::vector<Ref> list_entries;
    for (vedov::List list : vedov::lists) {
        Ref name = text(vedov::list_name(list));
        Ref holds = text(vedov::holds_name(vedov::list_holds(list)));
        list_entries.push_back(dict({{"name", &name}, {"holds", &holds}}));
    }
    Ref lists = tuple(std::move(list_entries));
    Ref products = names(vedov::products, vedov::product_name);
    Ref models = names(zam::covariance_models, zam::model_name);
    Ref methods = names(vedovx::covariance_methods, vedovx::method_name);
    Ref system = product_set<vedov::SystemMatrices>();
    Ref recon = product_set<vedov::ReconMatrices>();
    Ref sets = dict({{vedov::ProductSet<vedov::SystemMatrices>::name, &system},
                     {vedov::ProductSet<vedov::ReconMatrices>::name, &recon}});
    std::vector<Ref> count_names;
    for (vedov::List list : vedov::lists) count_names.push_back(text(vedov::list_name(list)));
    count_names.push_back(text(vedov::layers_count_name));
    count_names.push_back(text(vedov::pupil_count_name));
    Ref count_tuple = tuple(std::move(count_names));
    Ref step_names = names(vedov::time_steps, vedov::lag_name);
    return dict({{"lists", &lists},
                 {"products", &products},
                 {"models", &models},
                 {"methods", &methods},
                 {"product_sets", &sets},
                 {"counts", &count_tuple},
                 {"steps", &step_names}});
}

Ref counts(const vedov::SystemGeom& system) {
    const vedov::Counts c = vedov::counts_of(system);
    Ref result = check(PyDict_New());
    for (std::size_t k = 0; k < std::size(vedov::lists); ++k) {
        check_status(PyDict_SetItem(result.get(), text(vedov::list_name(vedov::lists[k])).get(),
                                    check(PyLong_FromSize_t(c.sizes[k])).get()));
    }
    check_status(PyDict_SetItem(result.get(), text(vedov::layers_count_name).get(),
                                check(PyLong_FromSize_t(c.layers)).get()));
    check_status(PyDict_SetItem(result.get(), text(vedov::pupil_count_name).get(),
                                check(PyBool_FromLong(c.pupil)).get()));
    return result;
}

Ref steps(const vedov::SystemGeom& system) {
    Ref result = check(PyDict_New());
    for (vedov::LagSource step : vedov::time_steps) {
        check_status(PyDict_SetItem(result.get(), text(vedov::lag_name(step)).get(),
                                    check(PyFloat_FromDouble(vedov::lag_of(system, step))).get()));
    }
    return result;
}

}  // namespace vedovx
