#include "ellipsoid/binding/bufformat.h"

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

// How a format string names the type of an item, for messages.
const char* describe(char type, bool is_complex) noexcept {
    switch (type) {
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case '?': return "'bool'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return is_complex ? "'complex float'" : "'float'";
        case 'd': return is_complex ? "'complex double'" : "'double'";
        case 'g': return is_complex ? "'complex long double'" : "'long double'";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        default: return "unknown";
    }
}

Py_ssize_t type_size(char type, bool is_complex) noexcept {
    Py_ssize_t size = 0;
    switch (type) {
        case 'c':
        case 'b':
        case 'B':
        case '?': size = 1; break;
        case 'h':
        case 'H': size = 2; break;
        case 'i':
        case 'I':
        case 'f': size = 4; break;
        case 'l':
        case 'L':
        case 'q':
        case 'Q':
        case 'd':
        case 'O':
        case 'P': size = 8; break;
        case 'g': size = sizeof(long double); break;
        default: break;
    }
    return is_complex ? 2 * size : size;
}

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
    bool dimensions(Py_ssize_t* dims, int* ndim) noexcept {
        *ndim = 0;
        for (;;) {
            while (*p_ == ' ') ++p_;
            if (*p_ == '\0') return error("Unexpected end of format string, expected ')'");
            if (!std::isdigit(static_cast<unsigned char>(*p_)))
                return error("unparsable format string");
            const Py_ssize_t d = number();
            if (*ndim < kMaxDims) dims[*ndim] = d;
            ++*ndim;
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

    // One scalar item (possibly a sub-array of them) at the current offset.
    bool item(char type, bool is_complex, const Py_ssize_t* dims, int ndim) noexcept {
        const Py_ssize_t size = type_size(type, is_complex);
        Py_ssize_t elements = 1;
        for (int i = 0; i < ndim && i < kMaxDims; ++i) {
            elements = multiply_saturating(elements, dims[i]);
        }
        if (next_field_ >= expected_fields()) return mismatch(describe(type, is_complex));
        const FieldSpec field =
            spec_.is_record() ? spec_.fields[next_field_] : FieldSpec{nullptr, 0, 1};
        if (offset_ != field.offset) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer dtype mismatch; next field is at offset %zd but %zd expected",
                         offset_, field.offset);
            return false;
        }
        if (type != 'd' || is_complex) return mismatch(describe(type, is_complex));
        const int expected_ndim = field.count == 1 ? 0 : 1;
        if (ndim != expected_ndim) {
            PyErr_Format(PyExc_ValueError, "Expected %d dimension(s), got %d", expected_ndim, ndim);
            return false;
        }
        if (ndim == 1 && dims[0] != field.count) {
            PyErr_Format(PyExc_ValueError, "Expected a dimension of size %zu, got %zu",
                         static_cast<size_t>(field.count), static_cast<size_t>(dims[0]));
            return false;
        }
        offset_ = add_saturating(offset_, multiply_saturating(size, elements));
        ++next_field_;
        return true;
    }

    // Items up to the end of the string, or up to '}' inside a struct.
    bool sequence(bool in_struct) noexcept {
        for (;;) {
            Py_ssize_t dims[kMaxDims];
            int ndim = 0;
            Py_ssize_t count = 1;
            while (*p_ == ' ') ++p_;
            switch (*p_) {
                case '\0': return in_struct ? error("unparsable format string") : true;
                case '}':
                    if (!in_struct) return error("unparsable format string");
                    ++p_;
                    return true;
                case '@':
                case '^':
                    standard_sizes_ = false;
                    ++p_;
                    continue;
                case '=':
                case '<':
                    standard_sizes_ = true;
                    ++p_;
                    continue;
                case '>':
                case '!': return error("Big-endian buffer not supported on little-endian compiler");
                default: break;
            }
            if (*p_ == '(') {
                ++p_;
                if (!dimensions(dims, &ndim)) return false;
                // A byte-order or size character may follow the shape: "(3)>d".
                for (;;) {
                    if (*p_ == '@' || *p_ == '^') {
                        standard_sizes_ = false;
                    } else if (*p_ == '=' || *p_ == '<') {
                        standard_sizes_ = true;
                    } else if (*p_ == '>' || *p_ == '!') {
                        return error("Big-endian buffer not supported on little-endian compiler");
                    } else {
                        break;
                    }
                    ++p_;
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
            const char type = *p_;
            if (type == '\0') return error("unparsable format string");
            ++p_;
            switch (type) {
                case 'T': {
                    if (*p_ != '{') return error("Buffer acquisition: Expected '{' after 'T'");
                    ++p_;
                    if (nesting_ == kMaxNesting) return error("unparsable format string");
                    const char* body = p_;
                    Py_ssize_t repeats = count;
                    for (int i = 0; i < ndim && i < kMaxDims; ++i) {
                        repeats = multiply_saturating(repeats, dims[i]);
                    }
                    if (repeats == 0) repeats = 1;  // an empty sub-array still has to parse
                    ++nesting_;
                    for (Py_ssize_t r = 0; r < repeats; ++r) {
                        p_ = body;
                        const size_t fields_before = next_field_;
                        const Py_ssize_t offset_before = offset_;
                        const bool sizes_before = standard_sizes_;
                        if (!sequence(true)) return false;
                        if (next_field_ == fields_before && standard_sizes_ == sizes_before) {
                            // The body matched no field and left the reader as it found
                            // it: every further repeat would do exactly the same, so
                            // only their size is added (a repeat count of 10**18 must
                            // not mean 10**18 passes).
                            offset_ = add_saturating(
                                offset_,
                                multiply_saturating(offset_ - offset_before, repeats - r - 1));
                            break;
                        }
                    }
                    --nesting_;
                    break;
                }
                case 'x': offset_ = add_saturating(offset_, count); break;
                case 's':
                case 'p':
                    PyErr_Format(PyExc_ValueError,
                                 "Does not understand character buffer dtype format string ('%c')",
                                 type);
                    return false;
                case 'g':
                    if (standard_sizes_) {
                        return error(
                            "Python does not define a standard format string size for long "
                            "double ('g')..");
                    }
                    [[fallthrough]];
                case 'c':
                case 'b':
                case 'B':
                case '?':
                case 'h':
                case 'H':
                case 'i':
                case 'I':
                case 'l':
                case 'L':
                case 'q':
                case 'Q':
                case 'f':
                case 'd':
                case 'O':
                case 'P':
                    if (is_complex && type != 'f' && type != 'd' && type != 'g') {
                        PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'",
                                     'Z');
                        return false;
                    }
                    for (Py_ssize_t r = 0; r < count; ++r) {
                        if (!item(type, is_complex, dims, ndim)) return false;
                    }
                    break;
                default:
                    PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'",
                                 type);
                    return false;
            }
            skip_name();
        }
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
