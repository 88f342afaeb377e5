// The `shape` record: a mirror of the runtime's zecmShape whose dimensions are
// a growable vector, with its two copies to and from the runtime structure.
#pragma once
#include <algorithm>
#include <vector>

#include "binding.hpp"
#include "zecm.h"

namespace halvora {

struct zecmShapePy : zecmShape {
    std::vector<int64_t> shapes;
    zecmShapePy() : zecmShape{} {}
};

// A fresh runtime shape: the record's dimension count, unchanged, and its
// `shapes` items at the front of the dimension array (the rest zero).
inline zecmShape toRuntime(const zecmShapePy &record) {
    if (record.shapes.size() > ZECM_MAX_DIMS) throw py::value_error("shape.shapes holds more than 6 dimensions");
    zecmShape shape{};
    shape.ndims = record.ndims;
    std::copy(record.shapes.begin(), record.shapes.end(), shape.dims);
    return shape;
}

// The record's dimension count from the runtime's, and `shapes` resized to it
// (at most the 6 entries the structure holds).
inline void fromRuntime(const zecmShape &shape, zecmShapePy &record) {
    record.ndims = shape.ndims;
    size_t count = std::min<size_t>(shape.ndims, ZECM_MAX_DIMS);
    record.shapes.assign(shape.dims, shape.dims + count);
}

}  // namespace halvora
