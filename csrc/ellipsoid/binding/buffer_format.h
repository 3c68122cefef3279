// Element types of the typed views, and the check of a buffer's format string
// (PEP 3118 struct syntax) against one of them.
#ifndef QUORVANE_ELLIPSOID_BINDING_BUFFER_FORMAT_H
#define QUORVANE_ELLIPSOID_BINDING_BUFFER_FORMAT_H

#include <Python.h>

#include <span>

namespace quorvane::py {

// One member of a record: a double, or an array of `count` doubles.
struct FieldSpec {
    const char* name;
    Py_ssize_t offset;
    Py_ssize_t count;  // 1 for a scalar double, 3 for double[3]
};

// The element a view holds: a plain double or one of the geodetic records.
struct ElementSpec {
    const char* name;  // how messages name it: "double", "LLA", ...
    Py_ssize_t size;
    std::span<const FieldSpec> fields;  // empty for the plain double
    bool accepts_complex;               // a complex double may stand for the record
    bool is_record() const noexcept { return !fields.empty(); }
};

extern const ElementSpec kDoubleSpec;
extern const ElementSpec kSurfCoordSpec;
extern const ElementSpec kLLASpec;
extern const ElementSpec kAERSpec;
extern const ElementSpec kENUSpec;

// True when `format` describes `spec` in native byte order, field for field at
// the record's offsets; otherwise raises ValueError and returns false.
bool check_format(const char* format, const ElementSpec& spec) noexcept;

}  // namespace quorvane::py

#endif  // QUORVANE_ELLIPSOID_BINDING_BUFFER_FORMAT_H
