#include "learned.hpp"

#include "python/errors.hpp"

namespace kavrel {

py::Ref labels_dict(LearnedState* learned) {
    py::Ref dict = py::check(PyDict_New());
    if (learned == nullptr) return dict;
    for (std::size_t col : learned->info.object_columns) {
        py::Ref key = py::check(PyLong_FromSize_t(col));
        py::check_status(PyDict_SetItem(dict.get(), key.get(), learned->tuple_of(col)));
    }
    return dict;
}

}  // namespace kavrel
