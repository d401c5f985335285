#include "held_objects.hpp"

#include "errors.hpp"

#include <atomic>
#include <memory>
#include <utility>

namespace kavrel::py {

namespace {

// A set made once: the first published stays, for the life of the process.
template <class T>
class Published {
public:
    const T* get() const noexcept { return made_.load(std::memory_order_acquire); }
    // The set that stays: `made`, or one another thread published first
    // (then `made` goes, with its references: the caller is attached).
    const T* publish(std::unique_ptr<T> made) noexcept {
        T* first = nullptr;
        if (made_.compare_exchange_strong(first, made.get(), std::memory_order_acq_rel)) return made.release();
        return first;
    }

private:
    std::atomic<T*> made_{nullptr};
};

Published<Names> published_names;
Published<Pandas> published_pandas;

Ref intern(const char* name) {
    return check(PyUnicode_InternFromString(name));
}

// pandas' objects from its module; with `absent_on_failure`, null after an
// ordinary exception (cleared), else every failure throws.
std::unique_ptr<Pandas> find_pandas(PyObject* module, bool absent_on_failure) {
    const Names& n = names();
    auto p = std::make_unique<Pandas>();
    for (auto [field, name] : {std::pair{&p->frame_type, &n.DataFrame}, {&p->series_type, &n.Series},
                               {&p->string_dtype, &n.StringDtype},
                               {&p->categorical_dtype, &n.CategoricalDtype}, {&p->na, &n.NA},
                               {&p->nat, &n.NaT}}) {
        *field = Ref::steal(PyObject_GetAttr(module, name->get()));
        if (*field) continue;
        if (!absent_on_failure) throw PythonError{};
        clear_ordinary_error();
        return nullptr;
    }
    return p;
}

}  // namespace

const Names& names() {
    if (const Names* made = published_names.get()) [[likely]]
        return *made;
    auto n = std::make_unique<Names>();
    n->shape = intern("shape");
    n->values = intern("values");
    n->columns = intern("columns");
    n->copy = intern("copy");
    n->tolist = intern("tolist");
    n->items = intern("items");
    n->dtype = intern("dtype");
    n->to_numpy = intern("to_numpy");
    n->storage = intern("storage");
    n->na_value = intern("na_value");
    n->array = intern("array");
    n->codes = intern("codes");
    n->categories = intern("categories");
    n->arrow_array = intern("__arrow_array__");
    n->arrow_c_stream = intern("__arrow_c_stream__");
    n->setitem = intern("__setitem__");
    n->isetitem = intern("isetitem");
    n->pandas = intern("pandas");
    n->polars = intern("polars");
    n->DataFrame = intern("DataFrame");
    n->Series = intern("Series");
    n->StringDtype = intern("StringDtype");
    n->CategoricalDtype = intern("CategoricalDtype");
    n->NA = intern("NA");
    n->NaT = intern("NaT");
    return *published_names.publish(std::move(n));
}

const Pandas* imported_pandas() {
    if (const Pandas* found = published_pandas.get()) [[likely]]
        return found;
    Ref module = Ref::steal(PyImport_GetModule(names().pandas.get()));
    if (!module) {
        if (PyErr_Occurred()) clear_ordinary_error();
        return nullptr;
    }
    std::unique_ptr<Pandas> found = find_pandas(module.get(), true);
    return found ? published_pandas.publish(std::move(found)) : nullptr;
}

const Pandas& import_pandas() {
    if (const Pandas* found = published_pandas.get()) [[likely]]
        return *found;
    Ref module = check(PyImport_Import(names().pandas.get()));
    return *published_pandas.publish(find_pandas(module.get(), false));
}

}  // namespace kavrel::py
