#include "ellipsoid/binding/buffer_format.h"

#include <cctype>
#include <cstring>

#include "quorvane/datamodel/structured.h"

namespace quorvane::py {

namespace {

constexpr FieldSpec kSurfCoordFields[] = {
    {"lat", offsetof(SurfCoord, lat), 1},
    {"lon", offsetof(SurfCoord, lon), 1},
};
constexpr FieldSpec kLLAFields[] = {
    {"lat", offsetof(LLA, lat), 1},
    {"lon", offsetof(LLA, lon), 1},
    {"alt", offsetof(LLA, alt), 1},
};
constexpr FieldSpec kAERFields[] = {
    {"azimuth", offsetof(AER, azimuth), 1},
    {"elevation", offsetof(AER, elevation), 1},
    {"range", offsetof(AER, range), 1},
};
constexpr FieldSpec kENUFields[] = {
    {"u_east", offsetof(ENU_Frame, u_east), 3},
    {"u_north", offsetof(ENU_Frame, u_north), 3},
    {"u_up", offsetof(ENU_Frame, u_up), 3},
};

}  // namespace

const ElementSpec kDoubleSpec{"double", sizeof(double), {}, false};
const ElementSpec kSurfCoordSpec{"SurfCoord", sizeof(SurfCoord), kSurfCoordFields, true};
const ElementSpec kLLASpec{"LLA", sizeof(LLA), kLLAFields, false};
const ElementSpec kAERSpec{"AER", sizeof(AER), kAERFields, false};
const ElementSpec kENUSpec{"ENU_Frame", sizeof(ENU_Frame), kENUFields, false};

namespace {

constexpr int kMaxDims = 32;
// Structs nested deeper than this are refused: no record needs more than a
// few levels, and each level is a frame of the recursive reader.
constexpr int kMaxNesting = 64;

// Counts, dimensions and offsets read from a format string can be as large
// as the string says; arithmetic on them saturates instead of overflowing
// (no real layout comes near PY_SSIZE_T_MAX, so a saturated offset never
// matches a field and is reported as a mismatch).
Py_ssize_t add_saturating(Py_ssize_t a, Py_ssize_t b) noexcept {
    Py_ssize_t sum;
    return __builtin_add_overflow(a, b, &sum) ? PY_SSIZE_T_MAX : sum;
}

Py_ssize_t multiply_saturating(Py_ssize_t a, Py_ssize_t b) noexcept {
    Py_ssize_t product;
    return __builtin_mul_overflow(a, b, &product) ? PY_SSIZE_T_MAX : product;
}

// The scalar types of the format syntax: how messages name them, and their
// native sizes.
struct ScalarType {
    char code;
    const char* name;
    const char* complex_name;  // nullptr when 'Z' may not precede the code
    Py_ssize_t size;
};

constexpr ScalarType kScalarTypes[] = {
    {'c', "'char'", nullptr, sizeof(char)},
    {'b', "'signed char'", nullptr, sizeof(signed char)},
    {'B', "'unsigned char'", nullptr, sizeof(unsigned char)},
    {'?', "'bool'", nullptr, sizeof(bool)},
    {'h', "'short'", nullptr, sizeof(short)},
    {'H', "'unsigned short'", nullptr, sizeof(unsigned short)},
    {'i', "'int'", nullptr, sizeof(int)},
    {'I', "'unsigned int'", nullptr, sizeof(unsigned int)},
    {'l', "'long'", nullptr, sizeof(long)},
    {'L', "'unsigned long'", nullptr, sizeof(unsigned long)},
    {'q', "'long long'", nullptr, sizeof(long long)},
    {'Q', "'unsigned long long'", nullptr, sizeof(unsigned long long)},
    {'f', "'float'", "'complex float'", sizeof(float)},
    {'d', "'double'", "'complex double'", sizeof(double)},
    {'g', "'long double'", "'complex long double'", sizeof(long double)},
    {'O', "Python object", nullptr, sizeof(PyObject*)},
    {'P', "a pointer", nullptr, sizeof(void*)},
};

const ScalarType* find_scalar_type(char code) noexcept {
    for (const ScalarType& type : kScalarTypes) {
        if (type.code == code) return &type;
    }
    return nullptr;
}

// Byte-order and size characters (see FormatChecker::prefix).
bool is_prefix(char c) noexcept {
    switch (c) {
        case '@':
        case '^':
        case '=':
        case '<':
        case '>':
        case '!': return true;
        default: return false;
    }
}

// The dimensions of a sub-array, "(d0,d1,...)"; those past kMaxDims are
// counted but not kept.
struct Shape {
    Py_ssize_t dims[kMaxDims];
    int ndim = 0;

    Py_ssize_t elements() const noexcept {
        Py_ssize_t n = 1;
        for (int i = 0; i < ndim && i < kMaxDims; ++i) n = multiply_saturating(n, dims[i]);
        return n;
    }
};

// Reads a format string item by item and matches each scalar item against the
// next field of the expected element, keeping the byte offset of each item.
class FormatChecker {
public:
    FormatChecker(const char* format, const ElementSpec& spec) noexcept : p_(format), spec_(spec) {}

    bool run() noexcept {
        if (!sequence(false)) return false;
        if (next_field_ < expected_fields()) return mismatch("end");
        return true;
    }

private:
    const char* p_;
    const ElementSpec& spec_;
    Py_ssize_t offset_ = 0;
    size_t next_field_ = 0;
    bool standard_sizes_ = false;
    int nesting_ = 0;

    size_t expected_fields() const noexcept { return spec_.is_record() ? spec_.fields.size() : 1; }

    bool error(const char* message) noexcept {
        PyErr_SetString(PyExc_ValueError, message);
        return false;
    }

    bool unexpected(char c) noexcept {
        PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", c);
        return false;
    }

    // The next item does not have the type that the element needs there.
    bool mismatch(const char* found) noexcept {
        if (next_field_ >= expected_fields()) {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "",
                         "end", "", found);
        } else if (spec_.is_record()) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer dtype mismatch, expected '%s' but got %s in '%s.%s'", "double",
                         found, spec_.name, spec_.fields[next_field_].name);
        } else {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                         spec_.name, "'", found);
        }
        return false;
    }

    Py_ssize_t number() noexcept {
        Py_ssize_t n = 0;
        while (std::isdigit(static_cast<unsigned char>(*p_))) {
            if (n < PY_SSIZE_T_MAX / 16) n = n * 10 + (*p_ - '0');
            ++p_;
        }
        return n;
    }

    // "(d0,d1,...)" after the opening parenthesis.
    bool dimensions(Shape* shape) noexcept {
        shape->ndim = 0;
        for (;;) {
            while (*p_ == ' ') ++p_;
            if (*p_ == '\0') return error("Unexpected end of format string, expected ')'");
            if (!std::isdigit(static_cast<unsigned char>(*p_)))
                return error("unparsable format string");
            const Py_ssize_t d = number();
            if (shape->ndim < kMaxDims) shape->dims[shape->ndim] = d;
            ++shape->ndim;
            while (*p_ == ' ') ++p_;
            if (*p_ == ')') {
                ++p_;
                return true;
            }
            if (*p_ == '\0') return error("Unexpected end of format string, expected ')'");
            if (*p_ != ',') {
                PyErr_Format(PyExc_ValueError, "Expected a comma in format string, got '%c'", *p_);
                return false;
            }
            ++p_;
        }
    }

    void skip_name() noexcept {
        if (*p_ != ':') return;
        const char* end = std::strchr(p_ + 1, ':');
        p_ = end ? end + 1 : p_ + std::strlen(p_);
    }

    // -- Handlers ------------------------------------------------------------------

    // The byte-order or size character at p_: '@' and '^' select native sizes,
    // '=' and '<' standard ones, all in the machine's little-endian order; the
    // big-endian '>' and '!' are refused.
    bool prefix() noexcept {
        switch (*p_++) {
            case '@':
            case '^': standard_sizes_ = false; return true;
            case '=':
            case '<': standard_sizes_ = true; return true;
            default: return error("Big-endian buffer not supported on little-endian compiler");
        }
    }

    // Items up to the end of the string, or up to '}' inside a struct.
    bool sequence(bool in_struct) noexcept {
        for (;;) {
            while (*p_ == ' ') ++p_;
            if (*p_ == '\0') return in_struct ? error("unparsable format string") : true;
            if (*p_ == '}') {
                if (!in_struct) return error("unparsable format string");
                ++p_;
                return true;
            }
            if (is_prefix(*p_)) {
                if (!prefix()) return false;
                continue;
            }
            if (!entry()) return false;
            skip_name();
        }
    }

    // One entry: a repeat count or a sub-array shape, then a struct or a scalar
    // type, each optional but the type.
    bool entry() noexcept {
        Shape shape;
        Py_ssize_t count = 1;
        if (*p_ == '(') {
            ++p_;
            if (!dimensions(&shape)) return false;
            // A byte-order or size character may follow the shape: "(3)>d".
            while (is_prefix(*p_)) {
                if (!prefix()) return false;
            }
            if (*p_ == '(' || std::isdigit(static_cast<unsigned char>(*p_))) {
                return error("Cannot handle repeated arrays in format string");
            }
        } else if (std::isdigit(static_cast<unsigned char>(*p_))) {
            count = number();
            if (*p_ == '(') return error("Cannot handle repeated arrays in format string");
        }
        bool is_complex = false;
        if (*p_ == 'Z') {
            is_complex = true;
            ++p_;
        }
        const char code = *p_;
        if (code == '\0') return error("unparsable format string");
        ++p_;
        if (code == 'T') return structure(multiply_saturating(count, shape.elements()));
        return scalar(code, is_complex, count, shape);
    }

    // "{...}" after a 'T', read `repeats` times.
    bool structure(Py_ssize_t repeats) noexcept {
        if (*p_ != '{') return error("Buffer acquisition: Expected '{' after 'T'");
        ++p_;
        if (nesting_ == kMaxNesting) return error("unparsable format string");
        const char* body = p_;
        if (repeats == 0) repeats = 1;  // an empty sub-array still has to parse
        ++nesting_;
        for (Py_ssize_t r = 0; r < repeats; ++r) {
            p_ = body;
            const size_t fields_before = next_field_;
            const Py_ssize_t offset_before = offset_;
            const bool sizes_before = standard_sizes_;
            if (!sequence(true)) return false;
            if (next_field_ == fields_before && standard_sizes_ == sizes_before) {
                // The body matched no field and left the reader as it found it:
                // every further repeat would do exactly the same, so only their
                // size is added (a repeat count of 10**18 must not mean 10**18
                // passes).
                offset_ = add_saturating(
                    offset_, multiply_saturating(offset_ - offset_before, repeats - r - 1));
                break;
            }
        }
        --nesting_;
        return true;
    }

    // `count` scalar items of type `code` (or one sub-array of them), or padding.
    bool scalar(char code, bool is_complex, Py_ssize_t count, const Shape& shape) noexcept {
        switch (code) {
            case 'x': offset_ = add_saturating(offset_, count); return true;
            case 's':
            case 'p':
                PyErr_Format(PyExc_ValueError,
                             "Does not understand character buffer dtype format string ('%c')",
                             code);
                return false;
            default: break;
        }
        const ScalarType* type = find_scalar_type(code);
        if (type == nullptr) return unexpected(code);
        if (code == 'g' && standard_sizes_) {
            return error(
                "Python does not define a standard format string size for long double ('g')..");
        }
        if (is_complex && type->complex_name == nullptr) return unexpected('Z');
        for (Py_ssize_t r = 0; r < count; ++r) {
            if (!item(*type, is_complex, shape)) return false;
        }
        return true;
    }

    // One scalar item (possibly a sub-array of them) at the current offset.
    bool item(const ScalarType& type, bool is_complex, const Shape& shape) noexcept {
        const char* name = is_complex ? type.complex_name : type.name;
        const Py_ssize_t size = is_complex ? 2 * type.size : type.size;
        if (next_field_ >= expected_fields()) return mismatch(name);
        const FieldSpec field =
            spec_.is_record() ? spec_.fields[next_field_] : FieldSpec{nullptr, 0, 1};
        if (offset_ != field.offset) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer dtype mismatch; next field is at offset %zd but %zd expected",
                         offset_, field.offset);
            return false;
        }
        if (type.code != 'd' || is_complex) return mismatch(name);
        const int expected_ndim = field.count == 1 ? 0 : 1;
        if (shape.ndim != expected_ndim) {
            PyErr_Format(PyExc_ValueError, "Expected %d dimension(s), got %d", expected_ndim,
                         shape.ndim);
            return false;
        }
        if (shape.ndim == 1 && shape.dims[0] != field.count) {
            PyErr_Format(PyExc_ValueError, "Expected a dimension of size %zu, got %zu",
                         static_cast<size_t>(field.count), static_cast<size_t>(shape.dims[0]));
            return false;
        }
        offset_ = add_saturating(offset_, multiply_saturating(size, shape.elements()));
        ++next_field_;
        return true;
    }
};

// "Zd" alone, with at most a native or little-endian prefix.
bool is_single_complex_double(const char* format) noexcept {
    if (*format == '@' || *format == '=' || *format == '<' || *format == '^') ++format;
    return std::strcmp(format, "Zd") == 0;
}

}  // namespace

bool check_format(const char* format, const ElementSpec& spec) noexcept {
    if (format == nullptr) format = "B";
    if (spec.accepts_complex && is_single_complex_double(format)) return true;
    return FormatChecker(format, spec).run();
}

}  // namespace quorvane::py
